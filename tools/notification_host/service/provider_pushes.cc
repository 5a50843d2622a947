// ProviderPushes: the answer is decided at once (the endpoint answers the provider before the push
// runs); the push itself goes through NotificationHost like a client's.
#include "tools/notification_host/service/provider_pushes.h"

#include <memory>
#include <utility>
#include <variant>

#include "tools/notification_host/push/payload.h"

namespace quenlarch::notification_host {

ProviderPushes::ProviderPushes(NotificationHost& host, unsigned maxQueued,
                               NotificationHost::ShownLine print, std::function<void()> idle)
    : host_(host), maxQueued_(maxQueued), print_(std::move(print)), idle_(std::move(idle)) {}

provider::SinkAnswer ProviderPushes::submit(provider::ProviderPush push) {
  using Outcome = provider::SinkAnswer::Outcome;
  if (stopping_) return {Outcome::kStopping, std::nullopt};
  if (queued_ >= maxQueued_) return {Outcome::kQueueFull, std::nullopt};
  if (outputBehind_ && outputBehind_()) return {Outcome::kOverloaded, std::nullopt};
  auto built = contentFromPayload(push.payload, push::maxPayloadBytes(push.headers.pushType));
  if (const auto* refusal = std::get_if<Refusal>(&built)) {
    // The endpoint has already checked size and shape against the push's type; what is left is a
    // payload the host cannot make content from.
    return {Outcome::kRefused, push::PushRefusal{"BadPayload", "", refusal->reason, 400}};
  }
  ++queued_;
  // The apns-id names the push in its shown line, so that a provider can match the two.
  std::string name = push.headers.apnsId;
  host_.receive(
      IncomingPush{std::move(name), std::get<std::shared_ptr<const PushContent>>(std::move(built)),
                   steadyClock().now(), std::move(push.headers)},
      [this](const std::string& line) {
        print_(line);
        if (--queued_ == 0 && idle_) idle_();
      });
  return {};
}

}  // namespace quenlarch::notification_host
