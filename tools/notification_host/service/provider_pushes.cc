// ProviderPushes: the answer is decided at once (the endpoint answers the provider before the push
// runs); the push itself goes through NotificationHost like a client's.
#include "tools/notification_host/service/provider_pushes.h"

#include <utility>

namespace quenlarch::notification_host {

ProviderPushes::ProviderPushes(NotificationHost& host, unsigned maxQueued,
                               NotificationHost::ShownLine print, std::function<void()> idle,
                               StoreAndForward* store, Clock& clock)
    : host_(host),
      store_(store),
      clock_(clock),
      maxQueued_(maxQueued),
      print_(std::move(print)),
      idle_(std::move(idle)) {}

provider::SinkAnswer ProviderPushes::submit(provider::ProviderPush push) {
  using Outcome = provider::SinkAnswer::Outcome;
  if (stopping_) return {Outcome::kStopping, std::nullopt};
  if (queued_ >= maxQueued_) return {Outcome::kQueueFull, std::nullopt};
  if (outputBehind_ && outputBehind_()) return {Outcome::kOverloaded, std::nullopt};
  // The apns-id names the push in its shown line, so that a provider can match the two.
  std::string name = push.push.headers.apnsId;
  IncomingPush incoming{std::move(name), std::move(push.push.content), clock_.now(),
                        std::move(push.push.headers), std::move(push.push.warnings)};
  if (store_ != nullptr && store_->away()) {
    store_->keep(std::move(incoming));
  } else {
    run(std::move(incoming));
  }
  return {};
}

void ProviderPushes::run(IncomingPush push) {
  ++queued_;
  auto shown = [this](const std::string& line) {
    print_(line);
    if (--queued_ == 0 && idle_) idle_();
  };
  if (routed_) return host_.receive(std::move(push), std::move(shown), engine_);
  host_.receive(std::move(push), std::move(shown));
}

void ProviderPushes::stopTaking() {
  stopping_ = true;
  if (store_ != nullptr) store_->dropKept();
}

std::optional<std::string> ProviderPushes::setDeviceAway(bool away) {
  if (store_ == nullptr) return std::nullopt;
  if (away) {
    store_->goAway();
    return std::nullopt;
  }
  std::optional<IncomingPush> kept = store_->comeBack();
  if (!kept) return std::nullopt;
  std::string apnsId = kept->headers.apnsId;
  // Its time limit runs from now, when the device gets it.
  kept->arrival = clock_.now();
  run(std::move(*kept));
  return apnsId;
}

}  // namespace quenlarch::notification_host
