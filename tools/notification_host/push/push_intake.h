// The one way into the host for a push, whatever carried it: a payload file, a line of standard
// input, a client line's payload, or a provider's request (its header list and body). The text is
// parsed once, every rule is applied from one table (push_intake.cc), and the content the
// extension and the presenter see is built from the same parsed value.
//
// Refusals use the provider API's reason names, in the order the table applies them:
//   PayloadEmpty       no payload (nothing but whitespace, or an envelope without one)
//   PayloadTooLarge    over maxPayloadBytes for the push type, trailing whitespace not counted
//   (413) BadPayload         not JSON (with the line and column where it stops being JSON), not an
//                      object with an "aps" object, nested too deep, or a malformed envelope
//   InvalidPushType    a background push carrying an alert, or an alert push that shows a person
//                      nothing (push_gate.h: presentsAnything)
//   MissingTopic, TopicDisallowed, DeviceTokenNotForTopic, BadTopic   see PushDestination
// and, from an envelope's "headers", the header reasons of push_headers.h.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "platform/linux/json_text.h"
#include "platform/linux/push_content.h"
#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host {

// The longest push text the host reads: the largest payload in an envelope with its headers.
inline constexpr std::size_t kMaxPushTextBytes = push::kMaxVoipPayloadBytes + 1024;

struct AcceptedPush {
  push::PushHeaders headers;
  std::shared_ptr<const PushContent> content;
};

// A push as people write it: a bare payload ({"aps": {...}, ...}, default headers) or an envelope
// {"headers": {...}, "payload": {...}} that gives request headers with the provider API's names
// (read by push::readHeaderObject). A JSON object with "headers" or "payload" and without "aps" is
// an envelope, and takes nothing else. An envelope's payload is measured as a provider would send
// it, written without whitespace.
Expected<AcceptedPush, push::PushRefusal> acceptPush(std::string_view text,
                                                     const push::PushDestination& destination);

// A push already read as part of something larger (a client line that carries its payload as
// JSON): what was read, or where it stopped being JSON, and the bytes its text took there.
Expected<AcceptedPush, push::PushRefusal> acceptPush(
    const Expected<nlohmann::json, JsonSyntaxError>& read, std::size_t bytes,
    const push::PushDestination& destination);

// A provider's request: the headers it gave and its body, which is the payload itself.
Expected<AcceptedPush, push::PushRefusal> acceptRequest(const push::GivenHeaders& given,
                                                        std::string_view body,
                                                        const push::PushDestination& destination);

// What `topic` is checked against: the app's CFBundleIdentifier; empty when it has none.
std::string bundleIdentifier(const std::string& appPath);

// `bytes` without the JSON whitespace at its end, which the size limit does not count.
std::string_view withoutTrailingWhitespace(std::string_view bytes);

// The reason given for push text over `maxBytes` before it is read.
std::string tooLargeReason(std::size_t maxBytes);

// "apns-priority: BadPriority (apns-priority \"7\" is not 10, 5 or 1)", or without the header
// for a refusal of the payload as a whole.
std::string refusalText(const push::PushRefusal& refusal);

}  // namespace quenlarch::notification_host
