// Lowercase hexadecimal encoding of byte strings, as the tools print records and tags.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/plist_value.h"

namespace quenlarch {

std::string hexEncode(std::span<const std::uint8_t> bytes);
// None for an odd length or any character that is not a hex digit (either case).
std::optional<ByteString> hexDecode(std::string_view hex);

}  // namespace quenlarch
