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

// The push service refuses payloads larger than this many bytes (voip pushes may carry
// kMaxVoipPayloadBytes).
inline constexpr std::size_t kMaxPayloadBytes = 4096;
inline constexpr std::size_t kMaxVoipPayloadBytes = 5120;
// The longest push text the host reads: the largest payload in an envelope with its headers.
inline constexpr std::size_t kMaxPushTextBytes = kMaxVoipPayloadBytes + 1024;

struct Refusal {
  std::string reason;
};

// `bytes` without the JSON whitespace at its end, which the size limit does not count.
std::string_view withoutTrailingWhitespace(std::string_view bytes);

// The reason given for a payload over `maxBytes`.
std::string tooLargeReason(std::size_t maxBytes = kMaxPayloadBytes);

// The content for the raw payload `bytes`, or why the payload is refused: larger than `maxBytes`
// (not counting trailing whitespace), not JSON (a NUL byte or anything after the value included),
// not a JSON object, or without an "aps" object.
std::variant<std::shared_ptr<const PushContent>, Refusal> contentFromPayload(
    std::string_view bytes, std::size_t maxBytes = kMaxPayloadBytes);

}  // namespace quenlarch::notification_host
