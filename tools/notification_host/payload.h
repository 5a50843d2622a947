// Push payloads as the host receives them: the size and shape checks the push service applies, and
// the notification content the platform builds from an accepted payload.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "platform/linux/push_content.h"

namespace quenlarch::notification_host {

// The push service refuses payloads larger than this many bytes.
inline constexpr std::size_t kMaxPayloadBytes = 4096;

struct Refusal {
  std::string reason;
};

// `bytes` without the JSON whitespace at its end, which the size limit does not count.
std::string_view withoutTrailingWhitespace(std::string_view bytes);

// The reason given for a payload over kMaxPayloadBytes.
std::string tooLargeReason();

// The content for the raw payload `bytes`, or why the payload is refused: too large (not counting
// trailing whitespace), not JSON (a NUL byte or anything after the value included), not a JSON
// object, or without an "aps" object.
std::variant<std::shared_ptr<const PushContent>, Refusal> contentFromPayload(
    std::string_view bytes);

}  // namespace quenlarch::notification_host
