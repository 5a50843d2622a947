// Fuzzes the format renderer with formats, plural variables, languages and arguments together.
// The input is lines:
//   1: the language whose plural rules apply      2: the format
//   then any of:  =NAME CATEGORY TEXT   a form of plural variable NAME
//                 *CATEGORY TEXT        a form of the whole text (a catalog's plural variations)
//                 #NAME N               variable NAME takes argument N
//                 iDIGITS  sTEXT  n  aTEXT   an argument: integer (or the text when it does
//                                       not fit), string, null, an array; other lines are text
// The rendered text must stay within its cap, and be valid UTF-8 when everything given was; the
// plain renderer must do the same with the format alone.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "tools/notification_host/strings/format_renderer.h"

namespace quenlarch::notification_host {
namespace {

using quenlarch::fuzz::check;
using quenlarch::fuzz::isValidUtf8;

// "NAME REST" → NAME, REST.
std::pair<std::string_view, std::string_view> firstWord(std::string_view text) {
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos) return {text, {}};
  return {text.substr(0, space), text.substr(space + 1)};
}

// "i" and an int64: that integer; "n": null; "a": an array with the text; "s": the text; anything
// else: the whole line as text.
PlistValue argument(std::string_view line) {
  const std::string_view rest = line.substr(1);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (line.front() == 'i' && error == std::errc() && end == rest.data() + rest.size()) {
    return PlistValue(value);
  }
  if (line.front() == 'n') return PlistValue(PlistNull{});
  if (line.front() == 'a') return PlistValue(PlistValue::Array{PlistValue(1), PlistValue(rest)});
  return PlistValue(line.front() == 's' ? rest : line);
}

}  // namespace
}  // namespace quenlarch::notification_host

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  using namespace quenlarch::notification_host;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool validInput = isValidUtf8(input);
  std::vector<std::string_view> lines;
  while (!input.empty()) {
    const std::size_t newline = input.find('\n');
    lines.push_back(input.substr(0, newline));
    input = newline == std::string_view::npos ? std::string_view{} : input.substr(newline + 1);
  }
  if (lines.size() < 2) return 0;
  LocalizedFormat entry{std::string(lines[1]), {}, std::nullopt};
  PlistValue::Array args;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    if (line.front() == '=') {
      auto [name, rest] = firstWord(line.substr(1));
      auto [category, text] = firstWord(rest);
      entry.variables[std::string(name)].forms[std::string(category)] = text;
    } else if (line.front() == '*') {
      auto [category, text] = firstWord(line.substr(1));
      if (!entry.wholeText) entry.wholeText.emplace();
      entry.wholeText->forms[std::string(category)] = text;
    } else if (line.front() == '#') {
      auto [name, number] = firstWord(line.substr(1));
      std::size_t position = 0;
      std::from_chars(number.data(), number.data() + number.size(), position);
      entry.variables[std::string(name)].argument = position;
    } else {
      args.push_back(argument(line));
    }
  }
  const std::string rendered =
      renderLocalizedFormat(entry, PluralRules::forLanguage(lines[0]), args);
  check(rendered.size() <= kMaxRenderedBytes);
  check(!validInput || isValidUtf8(rendered));
  const std::string plain = renderFormat(entry.format, args);
  check(plain.size() <= kMaxRenderedBytes);
  check(!validInput || isValidUtf8(plain));
  return 0;
}
