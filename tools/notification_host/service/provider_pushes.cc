// ProviderPushes: the answer is decided at once (the endpoint answers the provider before the push
// runs); the push itself goes through NotificationHost like a client's.
#include "tools/notification_host/service/provider_pushes.h"

#include <utility>

namespace quenlarch::notification_host {

ProviderPushes::ProviderPushes(NotificationHost& host, unsigned maxQueued,
                               NotificationHost::ShownLine print, std::function<void()> idle)
    : host_(host), maxQueued_(maxQueued), print_(std::move(print)), idle_(std::move(idle)) {}

provider::SinkAnswer ProviderPushes::submit(provider::ProviderPush push) {
  using Outcome = provider::SinkAnswer::Outcome;
  if (stopping_) return {Outcome::kStopping, std::nullopt};
  if (queued_ >= maxQueued_) return {Outcome::kQueueFull, std::nullopt};
  if (outputBehind_ && outputBehind_()) return {Outcome::kOverloaded, std::nullopt};
  ++queued_;
  // The apns-id names the push in its shown line, so that a provider can match the two.
  std::string name = push.push.headers.apnsId;
  host_.receive(IncomingPush{std::move(name), std::move(push.push.content), steadyClock().now(),
                             std::move(push.push.headers), std::move(push.push.warnings)},
                [this](const std::string& line) {
                  print_(line);
                  if (--queued_ == 0 && idle_) idle_();
                });
  return {};
}

}  // namespace quenlarch::notification_host
