// Client requests: every line gets exactly one reply; a push's reply comes when it is shown, or at
// once when it is refused.
#include "tools/notification_host/service/client_requests.h"

#include <variant>

#include "platform/linux/json_text.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

template <typename Message>
bool hasToken(const Message& message) {
  if constexpr (requires { message.token; }) {
    return message.token.has_value();
  } else {
    return false;
  }
}

}  // namespace

void addDeviceState(nlohmann::ordered_json& line, const StoreAndForward* device) {
  line["deviceAway"] = device != nullptr && device->away();
  line["storedPush"] = nullptr;
  const IncomingPush* kept = device != nullptr ? device->kept() : nullptr;
  if (kept == nullptr) return;
  nlohmann::ordered_json push{{"apnsId", kept->headers.apnsId},
                              {"pushType", push::pushTypeName(kept->headers.pushType)}};
  if (kept->headers.collapseId) push["collapseId"] = *kept->headers.collapseId;
  if (kept->headers.expiration) push["expiration"] = *kept->headers.expiration;
  line["storedPush"] = std::move(push);
}

std::string deviceAnswer(const StoreAndForward* device,
                         const std::optional<std::string>& delivered) {
  nlohmann::ordered_json answer{{"type", "device"}};
  addDeviceState(answer, device);
  if (delivered) answer["delivered"] = *delivered;
  return jsonLine(answer);
}

Expected<IncomingPush, std::string> incomingPush(cp::Push& push, const std::string& bundleId,
                                                 Clock::time_point arrival) {
  auto accepted = cp::acceptPush(push, push::PushDestination{bundleId});
  if (!accepted) {
    const push::PushRefusal& refusal = accepted.error();
    return unexpected(cp::refusedAnswer(refusal.reason, refusal.header, refusal.message));
  }
  return IncomingPush{std::move(push.name), std::move(accepted->content), arrival,
                      std::move(accepted->headers), std::move(accepted->warnings)};
}

std::string statusAnswer(const EngineStatus& status, const StoreAndForward* device) {
  nlohmann::ordered_json line{{"type", "status"}};
  line["extensionPid"] = nullptr;
  if (status.extensionPid != 0) line["extensionPid"] = status.extensionPid;
  line["extensionStarts"] = status.extensionStarts;
  line["pushesInFlight"] = status.pushesInFlight;
  line["extensionPeakResidentBytes"] = status.peakResidentBytes;
  addDeviceState(line, device);
  return jsonLine(line);
}

void ClientRequests::answer(std::string_view line, ClientConnection::Reply reply) {
  const Clock::time_point arrival = engine_.clock().now();
  cp::ClientMessage message = cp::decodeClientLine(line);
  if (const auto* malformed = std::get_if<cp::Malformed>(&message)) {
    return reply(cp::errorAnswer(malformed->reason));
  }
  if (std::visit([](const auto& m) { return hasToken(m); }, message)) {
    return reply(cp::errorAnswer(
        "this service serves one app; a \"token\" names a device of a fleet (serve --fleet)"));
  }
  if (std::holds_alternative<cp::StatusRequest>(message)) {
    return reply(statusAnswer(engine_.status(), provider_ ? provider_->device() : nullptr));
  }
  if (const auto* device = std::get_if<cp::DeviceRequest>(&message)) {
    if (provider_ == nullptr || provider_->device() == nullptr) {
      return reply(cp::errorAnswer("this service's device is never away"));
    }
    const std::optional<std::string> delivered = provider_->setDeviceAway(device->away);
    return reply(deviceAnswer(provider_->device(), delivered));
  }
  auto incoming = incomingPush(std::get<cp::Push>(message), bundleId_, arrival);
  if (!incoming) return reply(incoming.error());
  host_.receive(std::move(*incoming), [reply = std::move(reply)](const std::string& shown) {
    reply(cp::shownAnswer(shown));
  });
}

}  // namespace quenlarch::notification_host
