// Where serve's provider endpoint hands the pushes it accepts: the same host and engine as the
// clients' pushes, each shown line printed on the service's standard output. The queue is bounded:
// with `maxQueued` provider pushes taken and not yet shown, the next is answered 429, so a
// provider that pushes faster than the extension runs costs at most that many pushes of memory.
// Runs on the service's loop thread; no locks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/provider/provider_sink.h"

namespace quenlarch::notification_host {

class ProviderPushes final : public provider::ProviderSink {
 public:
  // Pushes taken and not yet shown at most, unless serve is told otherwise.
  static constexpr unsigned kDefaultMaxQueued = 1024;

  // `print` gets each shown line (NotificationHost::ShownLine); `idle` is called whenever the last
  // push taken has been shown.
  ProviderPushes(NotificationHost& host, unsigned maxQueued, NotificationHost::ShownLine print,
                 std::function<void()> idle = {});

  provider::SinkAnswer submit(provider::ProviderPush push) override;

  // From now on every push is answered 503: the service is stopping.
  void stopTaking() { stopping_ = true; }
  // While `behind` says so (the service's output cannot keep up), a push is answered 503, as an
  // overloaded service.
  void setOutputBehind(std::function<bool()> behind) { outputBehind_ = std::move(behind); }
  // Provider pushes taken and not yet shown.
  std::size_t queued() const { return queued_; }

 private:
  NotificationHost& host_;
  const unsigned maxQueued_;
  NotificationHost::ShownLine print_;
  std::function<void()> idle_;
  std::function<bool()> outputBehind_;
  std::size_t queued_ = 0;
  bool stopping_ = false;
};

}  // namespace quenlarch::notification_host
