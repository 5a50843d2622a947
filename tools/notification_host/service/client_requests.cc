// Client requests: every line gets exactly one reply; a push's reply comes when it is shown, or at
// once when it is refused.
#include "tools/notification_host/service/client_requests.h"

#include <variant>

#include "platform/linux/json_text.h"
#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

}  // namespace

std::string statusAnswer(const EngineStatus& status) {
  nlohmann::ordered_json line{{"type", "status"}};
  line["extensionPid"] = nullptr;
  if (status.extensionPid != 0) line["extensionPid"] = status.extensionPid;
  line["extensionStarts"] = status.extensionStarts;
  line["pushesInFlight"] = status.pushesInFlight;
  line["extensionPeakResidentBytes"] = status.peakResidentBytes;
  return jsonLine(line);
}

void ClientRequests::answer(std::string_view line, ClientConnection::Reply reply) {
  const Clock::time_point arrival = engine_.clock().now();
  cp::ClientMessage message = cp::decodeClientLine(line);
  if (const auto* malformed = std::get_if<cp::Malformed>(&message)) {
    return reply(cp::errorAnswer(malformed->reason));
  }
  if (std::holds_alternative<cp::StatusRequest>(message)) {
    return reply(statusAnswer(engine_.status()));
  }
  auto& push = std::get<cp::Push>(message);
  auto accepted = cp::acceptPush(push, push::PushDestination{bundleId_});
  if (!accepted) {
    const push::PushRefusal& refusal = accepted.error();
    return reply(cp::refusedAnswer(refusal.reason, refusal.header, refusal.message));
  }
  host_.receive(
      IncomingPush{std::move(push.name), std::move(accepted->content), arrival,
                   std::move(accepted->headers), std::move(accepted->warnings)},
      [reply = std::move(reply)](const std::string& shown) { reply(cp::shownAnswer(shown)); });
}

}  // namespace quenlarch::notification_host
