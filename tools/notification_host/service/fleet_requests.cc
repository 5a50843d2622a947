// Fleet requests: the token is checked against the fleet before anything else is read, so a push
// to a device the fleet does not have is refused without running.
#include "tools/notification_host/service/fleet_requests.h"

#include <variant>

#include "platform/linux/json_text.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

}  // namespace

std::string FleetRequests::summary() const {
  nlohmann::ordered_json line{{"type", "status"}};
  line["devices"] = devices_.size();
  line["devicesAway"] = pushes_.devicesAway();
  line["warmExtensions"] = devices_.warm();
  line["warmLimit"] = devices_.warmLimit();
  line["pushesInFlight"] = devices_.pushesInFlight();
  line["pushesShown"] = pushes_.shown();
  line["pushesDropped"] = pushes_.dropped();
  return jsonLine(line);
}

void FleetRequests::answer(std::string_view line, ClientConnection::Reply reply) {
  const Clock::time_point arrival = clock_.now();
  cp::ClientMessage message = cp::decodeClientLine(line);
  if (const auto* malformed = std::get_if<cp::Malformed>(&message)) {
    return reply(cp::errorAnswer(malformed->reason));
  }
  const std::optional<std::string>& token = std::visit(
      [](const auto& m) -> const std::optional<std::string>& {
        if constexpr (requires { m.token; }) {
          return m.token;
        } else {
          static const std::optional<std::string> none;
          return none;
        }
      },
      message);
  if (!token) {
    if (std::holds_alternative<cp::StatusRequest>(message)) return reply(summary());
    return reply(cp::errorAnswer(
        "this service serves a fleet: name the device with --token (a \"token\" on the line)"));
  }
  const std::optional<std::size_t> device = devices_.find(*token);
  if (!device) return reply(cp::errorAnswer("the fleet has no device with token " + *token));
  if (std::holds_alternative<cp::StatusRequest>(message)) {
    return reply(statusAnswer(devices_.status(*device), pushes_.store(*device)));
  }
  if (const auto* request = std::get_if<cp::DeviceRequest>(&message)) {
    auto delivered = pushes_.setDeviceAway(*device, request->away);
    if (!delivered) return reply(cp::errorAnswer(delivered.error()));
    return reply(deviceAnswer(pushes_.store(*device), *delivered));
  }
  auto incoming = incomingPush(std::get<cp::Push>(message), bundleId_, arrival);
  if (!incoming) return reply(incoming.error());
  host_.receive(
      std::move(*incoming),
      [this, reply = std::move(reply)](const std::string& shown) {
        pushes_.countShown();
        reply(cp::shownAnswer(shown));
      },
      devices_.engine(*device));
}

}  // namespace quenlarch::notification_host
