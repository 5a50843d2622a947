// The line protocol between `notification-host send` (or any client) and `notification-host
// serve`: one JSON object per line over the service's Unix socket, each client line answered by
// exactly one service line, in order.
//
//   client -> service
//     {"type":"push","name":NAME[,"token":T],"payload":TEXT}
//                                                  one push; TEXT is the raw payload, or an
//                                                  envelope {"headers":{...},"payload":{...}},
//                                                  checked as `deliver` checks a payload file
//     {"type":"push","name":NAME[,"token":T],"payload":OBJECT}
//                                                  the same, the payload or envelope written into
//                                                  the line as JSON and read with it; it must
//                                                  come last, and where it is not JSON (or is
//                                                  followed by more than the line's closing
//                                                  brace) the push is refused as BadPayload
//     {"type":"status"[,"token":T]}                what the service's extension is doing
//     {"type":"device","state":"offline"|"online"[,"token":T]}
//                                                  the device left, or came back: while it is
//                                                  away, provider pushes are stored
//     "token": T, a device token of 64 hexadecimal digits, names the device of a fleet (serve
//     --fleet) the line is for: a fleet's service needs one on push and device lines, and on a
//     status line it asks for that device's state instead of the fleet's; a service for one app
//     refuses lines that carry one
//   service -> client
//     {"type":"shown","line":LINE}                 LINE is the line `deliver` prints for the push
//     {"type":"refused","reason":REASON[,"header":NAME],"message":TEXT}
//                                                  the push was refused (REASON is the provider
//                                                  API's, such as BadPriority; NAME the header at
//                                                  fault); nothing was shown
//     {"type":"status","extensionPid":N|null,"extensionStarts":N,"pushesInFlight":N,
//      "extensionPeakResidentBytes":N,"deviceAway":B,"storedPush":PUSH|null}
//                                                  one app, or one device of a fleet (with
//                                                  "token":T)
//     {"type":"status","devices":N,"devicesAway":N,"warmExtensions":N,"warmLimit":N,
//      "pushesInFlight":N,"pushesShown":N,"pushesDropped":N}
//                                                  a fleet: provider pushes shown and dropped
//                                                  since the service started
//     {"type":"device","deviceAway":B,"storedPush":PUSH|null[,"delivered":ID]}
//                                                  the device's state once the line took effect;
//                                                  "delivered": the stored push now delivered.
//                                                  PUSH: {"apnsId","pushType"[,"collapseId"]
//                                                  [,"expiration"]}
//     {"type":"error","message":TEXT}              a line that is malformed or over kMaxClientLine-
//                                                  Bytes; or, as the last line before the service
//                                                  hangs up: too many clients, no descriptor left,
//                                                  another user, an idle connection, a client that
//                                                  does not read its answers, or the service is
//                                                  stopping
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/linux/json_text.h"
#include "tools/notification_host/push/push_intake.h"

namespace quenlarch::notification_host::client_protocol {

// A push text of kMaxPushTextBytes, every byte escaped as \u00XX, with room for the name.
inline constexpr std::size_t kMaxClientLineBytes = 8 * kMaxPushTextBytes + 4096;
// The longest line the service writes. A shown line holds what the extension delivered (one line
// of at most 256 KiB, whose numbers can grow 3.6-fold when written again: 1E14 becomes
// 100000000000000.0), the name (escaped, up to six times a client line) and the rendered alert.
// The service makes a line that would be longer from the content as received, so a client that
// reads lines up to this size never loses an answer.
inline constexpr std::size_t kMaxAnswerBytes = 2 << 20;

// A payload written into the line as JSON: what was read, or where it stopped being JSON
// (counted from the payload's first byte), and the bytes it took in the line.
struct LinePayload {
  Expected<nlohmann::json, JsonSyntaxError> read;
  std::size_t bytes = 0;
};
struct Push {
  std::string name;
  std::optional<std::string> token;                // lowercase
  std::variant<std::string, LinePayload> payload;  // TEXT, or OBJECT
};
struct StatusRequest {
  std::optional<std::string> token;
};
struct DeviceRequest {
  bool away = false;
  std::optional<std::string> token;
};
struct Malformed {
  std::string reason;
};
using ClientMessage = std::variant<Push, StatusRequest, DeviceRequest, Malformed>;

// One line, without the newline, carrying `payload` as TEXT.
std::string encodePush(std::string_view name, std::string_view payload,
                       const std::optional<std::string>& token = std::nullopt);
// The line `send` writes: the payload text written into the line as it is (line breaks turned
// into carriage returns, so that a line and column in it stay the same), unread. Text that does
// not start as an object could not be told from another kind of payload, and text with a NUL
// byte would end the line early, so they travel as TEXT.
std::string pushLine(std::string_view name, std::string_view payload,
                     const std::optional<std::string>& token = std::nullopt);
// Any line: one JSON object and nothing else (a NUL byte ends no line early), or Malformed.
ClientMessage decodeClientLine(std::string_view line);

// The push through the intake, read once however the line carried it.
Expected<AcceptedPush, push::PushRefusal> acceptPush(const Push& push,
                                                     const push::PushDestination& destination);

// `line` is the shown line already written as one JSON line; it goes in as it is.
std::string shownAnswer(std::string_view line);
// `header` empty: the push as a whole was refused, and the answer names no header.
std::string refusedAnswer(std::string_view reason, std::string_view header,
                          std::string_view message);
std::string errorAnswer(std::string_view message);

}  // namespace quenlarch::notification_host::client_protocol
