// What every fuzz target checks with: a broken property stops the run at once (the fuzzer saves
// the input), and the UTF-8 rule the rendered and parsed strings must keep.
#pragma once

#include <unicode/utf8.h>

#include <cstdint>
#include <string_view>

namespace quenlarch::fuzz {

inline void check(bool condition) {
  if (!condition) __builtin_trap();
}

inline bool isValidUtf8(std::string_view text) {
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(text.data(), i, length, c);
    if (c < 0) return false;
  }
  return true;
}

}  // namespace quenlarch::fuzz
