// Fuzzes the text-form strings parser. Any bytes give entries or a one-line reason, never a crash
// or a hang; every key and value is valid UTF-8; and the entries written back in the text form
// parse to the same entries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tools/notification_host/strings/strings_text_parser.h"

namespace quenlarch::notification_host {
namespace {

using quenlarch::fuzz::check;
using quenlarch::fuzz::isValidUtf8;

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace
}  // namespace quenlarch::notification_host

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch::notification_host;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto parsed = parseStringsText(bytes);
  if (!parsed) {
    check(!parsed.error().empty() && parsed.error().find('\n') == std::string::npos);
    return 0;
  }
  std::string written;
  for (const StringsTextEntry& entry : *parsed) {
    check(isValidUtf8(entry.key) && isValidUtf8(entry.value));
    written += quoted(entry.key) + " = " + quoted(entry.value) + ";\n";
  }
  auto again = parseStringsText(written);
  check(again && *again == *parsed);
  return 0;
}
