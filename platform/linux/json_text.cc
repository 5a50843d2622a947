// The parser reports the byte it stopped at; the line and column are counted here, from the text,
// so that they follow the same line-break rule whatever the parser does.
#include "platform/linux/json_text.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <iterator>

namespace quenlarch {
namespace {

std::atomic<std::size_t> parses{0};

constexpr std::size_t kMaxDetailBytes = 160;
constexpr const char* kTextAfterValue = "text after the JSON value";
constexpr const char* kTextEndsEarly = "the text ends inside the JSON value";

// nlohmann's message without its "[json.exception.parse_error.101] parse error at line 1,
// column 17: " prefix, whose place is counted differently, and without the "; last read: '...'"
// part, which quotes the text since the parser's last string (so a payload read inside a client
// line would quote the line's own members).
std::string detailOf(const nlohmann::json::parse_error& error) {
  std::string_view what = error.what();
  // Said the same way for text after a value read alone and after one read inside a larger text.
  if (what.find("; expected end of input") != std::string_view::npos) return kTextAfterValue;
  if (what.find("unexpected end of input") != std::string_view::npos) return kTextEndsEarly;
  const std::size_t colon = what.find(": ");
  if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
  std::string detail(what);
  const std::size_t quoted = detail.find("; last read: '");
  const std::size_t closing = detail.rfind('\'');
  if (quoted != std::string::npos && closing > quoted) detail.erase(quoted, closing + 1 - quoted);
  detail.resize(std::min(detail.size(), kMaxDetailBytes));
  std::replace_if(
      detail.begin(), detail.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return detail;
}

JsonSyntaxError syntaxError(std::string_view text, const nlohmann::json::parse_error& error) {
  // `byte` counts the bytes read, the one at fault included.
  const std::size_t offset = std::min(error.byte > 0 ? error.byte - 1 : 0, text.size());
  return JsonSyntaxError{offset, textPosition(text, offset), detailOf(error)};
}

// A number past a double's range ("1e400") is refused by the parser as out of range, not as a
// parse error, and that error carries no place. Its message quotes the number, which the parser
// has just read: the place is where that number starts, at or before `end`.
JsonSyntaxError rangeError(std::string_view text, const char* end,
                           const nlohmann::json::out_of_range& error) {
  std::string_view what = error.what();
  if (const std::size_t prefix = what.find("] "); prefix != std::string_view::npos) {
    what.remove_prefix(prefix + 2);
  }
  std::size_t offset = std::min(static_cast<std::size_t>(end - text.data()), text.size());
  const std::size_t open = what.find('\'');
  const std::size_t close = what.rfind('\'');
  if (open != std::string_view::npos && close > open + 1) {
    const std::size_t start = text.substr(0, offset).rfind(what.substr(open + 1, close - open - 1));
    if (start != std::string_view::npos) offset = start;
  }
  return JsonSyntaxError{offset, textPosition(text, offset),
                         std::string(what.substr(0, kMaxDetailBytes))};
}

// Reads a text byte by byte for the parser and keeps how far it got, so that a parse callback
// knows where in the text each event happens.
class CountingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  CountingIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  CountingIterator& operator++() {
    *furthest_ = ++at_;
    return *this;
  }
  CountingIterator operator++(int) {
    CountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const CountingIterator& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const char** furthest_;
};

}  // namespace

TextPosition textPosition(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  TextPosition position;
  for (std::size_t i = 0; i < offset; ++i) {
    const char c = text[i];
    const bool lineEnd = c == '\n' || (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
    if (lineEnd) {
      ++position.line;
      position.column = 1;
    } else if (c != '\r') {
      ++position.column;
    }
  }
  return position;
}

std::string JsonSyntaxError::text() const {
  return "line " + std::to_string(position.line) + ", column " + std::to_string(position.column) +
         ": " + detail;
}

template <typename Json>
Expected<Json, JsonSyntaxError> parseJson(std::string_view text) {
  parses.fetch_add(1, std::memory_order_relaxed);
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return unexpected(JsonSyntaxError{nul, textPosition(text, nul), "a NUL byte"});
  }
  const char* furthest = text.data();
  try {
    return Json::parse(CountingIterator(text.data(), &furthest),
                       CountingIterator(text.data() + text.size(), &furthest));
  } catch (const typename Json::parse_error& error) {
    return unexpected(syntaxError(text, error));
  } catch (const typename Json::out_of_range& error) {
    return unexpected(rangeError(text, furthest, error));
  }
}

Expected<nlohmann::json, JsonSyntaxError> parseJson(std::string_view text,
                                                    std::vector<TopMember>& members) {
  parses.fetch_add(1, std::memory_order_relaxed);
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    return unexpected(JsonSyntaxError{nul, textPosition(text, nul), "a NUL byte"});
  }
  const char* furthest = text.data();
  using Event = nlohmann::json::parse_event_t;
  // Depth 1 is the outermost object's members; a value there ends with its own event (a scalar)
  // or with the end of the object or array it opened.
  auto callback = [&](int depth, Event event, nlohmann::json& parsed) {
    const auto at = static_cast<std::size_t>(furthest - text.data());
    if (depth != 1) return true;
    if (event == Event::key) {
      members.push_back({parsed.get<std::string>(), at, std::string_view::npos, std::nullopt});
    } else if (!members.empty() && members.back().valueEnd == std::string_view::npos &&
               (event == Event::value || event == Event::object_end || event == Event::array_end)) {
      members.back().valueEnd = at;
      if (parsed.is_string()) members.back().text = parsed.get<std::string>();
    }
    return true;
  };
  try {
    return nlohmann::json::parse(CountingIterator(text.data(), &furthest),
                                 CountingIterator(text.data() + text.size(), &furthest), callback);
  } catch (const nlohmann::json::parse_error& error) {
    return unexpected(syntaxError(text, error));
  } catch (const nlohmann::json::out_of_range& error) {
    return unexpected(rangeError(text, furthest, error));
  }
}

template Expected<nlohmann::json, JsonSyntaxError> parseJson(std::string_view);
template Expected<nlohmann::ordered_json, JsonSyntaxError> parseJson(std::string_view);

std::size_t jsonParses() { return parses.load(std::memory_order_relaxed); }

std::string jsonLine(const nlohmann::ordered_json& json) {
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace quenlarch
