// The host's side of one run: hands each notification to the extension and decides what is shown,
// so that every notification is shown exactly once — the extension's content when it answers in
// time, the content as received when it releases the handler, runs out of time, crashes or cannot
// be started. A process that had to be given up on is replaced for the next notification.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/linux/push_content.h"
#include "tools/notification_host/extension_process.h"

namespace quenlarch::notification_host {

struct SessionOptions {
  ExtensionLaunch launch;
  // From sending a request until serviceExtensionTimeWillExpire.
  Clock::duration timeLimit = std::chrono::seconds(30);
  // After serviceExtensionTimeWillExpire (and at the end, after closing its input) how long the
  // extension has before the host stops waiting and kills it. A fresh process has timeLimit +
  // grace to report that it is ready.
  Clock::duration grace = std::chrono::seconds(1);
};

struct Shown {
  std::shared_ptr<const PushContent> content;
  bool byExtension = false;  // false: the host showed the content as received
};

class DeliverySession {
 public:
  explicit DeliverySession(SessionOptions options);
  ~DeliverySession();
  DeliverySession(const DeliverySession&) = delete;
  DeliverySession& operator=(const DeliverySession&) = delete;

  // Runs request `id` with `content` through the extension and returns what to show. Never fails.
  Shown deliver(const std::string& id, const std::shared_ptr<const PushContent>& content);

  // Closes the extension's input and waits (up to the grace period) for it to exit.
  void finish();

  // True once the extension could not be started; every notification since was shown by the host.
  bool startFailed() const { return startFailed_; }

 private:
  // A running process that has said it is ready, starting one if needed; null when none could be
  // had (then the reason has been reported).
  ExtensionProcess* readyProcess();
  // Kills the current process; the next notification gets a fresh one.
  void discardProcess();

  SessionOptions options_;
  std::unique_ptr<ExtensionProcess> process_;
  bool startFailed_ = false;
};

}  // namespace quenlarch::notification_host
