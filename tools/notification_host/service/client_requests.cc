// Client requests: every line gets exactly one reply; a push's reply comes when it is shown.
#include "tools/notification_host/service/client_requests.h"

#include <variant>

#include "tools/common/command_line.h"
#include "tools/notification_host/payload.h"
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
  return tools::jsonLine(line);
}

void ClientRequests::answer(std::string_view line, ClientConnection::Reply reply) {
  const Clock::time_point arrival = Clock::now();
  cp::ClientMessage message = cp::decodeClientLine(line);
  if (const auto* malformed = std::get_if<cp::Malformed>(&message)) {
    return reply(cp::errorAnswer(malformed->reason));
  }
  if (std::holds_alternative<cp::StatusRequest>(message)) {
    return reply(statusAnswer(engine_.status()));
  }
  auto& push = std::get<cp::Push>(message);
  auto built = contentFromPayload(push.payload);
  if (const auto* refusal = std::get_if<Refusal>(&built)) {
    return reply(cp::refusedAnswer(refusal->reason));
  }
  host_.receive(
      IncomingPush{std::move(push.name),
                   std::get<std::shared_ptr<const PushContent>>(std::move(built)), arrival},
      [reply = std::move(reply)](const std::string& shown) { reply(cp::shownAnswer(shown)); });
}

}  // namespace quenlarch::notification_host
