// Where serve's provider endpoint hands the pushes it accepts: the same host and engine as the
// clients' pushes, each shown line printed on the service's standard output. The queue is bounded:
// with `maxQueued` provider pushes taken and not yet shown, the next is answered 429, so a
// provider that pushes faster than the extension runs costs at most that many pushes of memory.
// The device can be away (`device offline`): then the pushes taken go to the store-and-forward
// instead, which keeps one at most, and the one kept is run once the device is back. Every push
// answered 200 ends in exactly one line: shown, or dropped with why.
// Runs on the service's loop thread; no locks.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/provider/provider_sink.h"
#include "tools/notification_host/service/store_and_forward.h"

namespace quenlarch::notification_host {

class ProviderPushes final : public provider::ProviderSink {
 public:
  // Pushes taken and not yet shown at most, unless serve is told otherwise.
  static constexpr unsigned kDefaultMaxQueued = 1024;

  // `print` gets each shown line (NotificationHost::ShownLine); `idle` is called whenever the last
  // push taken has been shown. `store`: where pushes go while the device is away (its dropped
  // pushes are the caller's to print); none when the device is never away.
  ProviderPushes(NotificationHost& host, unsigned maxQueued, NotificationHost::ShownLine print,
                 std::function<void()> idle = {}, StoreAndForward* store = nullptr,
                 Clock& clock = steadyClock());

  provider::SinkAnswer submit(provider::ProviderPush push) override;

  // From now on every push is answered 503: the service is stopping. A push kept for the device
  // is dropped: it can no longer be delivered.
  void stopTaking();
  // The device left (it is `away`) or came back; coming back runs the push kept meanwhile, whose
  // id is returned.
  std::optional<std::string> setDeviceAway(bool away);
  // The device's state for the status answer; none when it is never away.
  const StoreAndForward* device() const { return store_; }
  // Pushes run on `engine` instead of the host's own (a fleet's device; none: shown as received).
  void routeTo(HostEngine* engine) {
    engine_ = engine;
    routed_ = true;
  }
  // While `behind` says so (the service's output cannot keep up), a push is answered 503, as an
  // overloaded service.
  void setOutputBehind(std::function<bool()> behind) { outputBehind_ = std::move(behind); }
  // Provider pushes taken and not yet shown.
  std::size_t queued() const { return queued_; }
  // Pushes taken and not yet shown or dropped, the one kept for the device among them.
  bool busy() const { return queued_ > 0 || (store_ != nullptr && store_->kept() != nullptr); }

 private:
  void run(IncomingPush push);

  NotificationHost& host_;
  StoreAndForward* store_;
  Clock& clock_;
  const unsigned maxQueued_;
  NotificationHost::ShownLine print_;
  std::function<void()> idle_;
  std::function<bool()> outputBehind_;
  std::size_t queued_ = 0;
  bool stopping_ = false;
  HostEngine* engine_ = nullptr;
  bool routed_ = false;
};

}  // namespace quenlarch::notification_host
