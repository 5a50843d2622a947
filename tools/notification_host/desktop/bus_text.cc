// Bus text: ICU's UTF-8 macros decide what is well-formed (maximal subparts, as Unicode recommends,
// so one bad byte costs one replacement character).
#include "tools/notification_host/desktop/bus_text.h"

#include <unicode/utf.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace quenlarch::notification_host {

std::string busText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t at = 0;
  while (at < text.size()) {
    // A sequence is at most 4 bytes, so a window of 4 keeps ICU's 32-bit indexes small for any
    // size.
    const auto window = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - at, 4));
    std::int32_t length = 0;
    UChar32 c = 0;
    U8_NEXT(bytes + at, length, window, c);
    if (c <= 0 || U_IS_UNICODE_NONCHAR(c)) {
      out += "\xEF\xBF\xBD";  // U+FFFD
    } else {
      out.append(text.substr(at, static_cast<std::size_t>(length)));
    }
    at += static_cast<std::size_t>(length);
  }
  return out;
}

std::string escapeMarkup(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace quenlarch::notification_host
