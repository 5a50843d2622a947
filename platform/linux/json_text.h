// JSON as text: parsing that says where text stops being JSON, and the one-line form every tool
// writes. Every parse of something a push carries goes through parseJson, which counts them, so
// that tests can hold each way into the host to one parse per push.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch {

// Where a byte lies in a text, both counted from 1; a line ends at "\n", "\r\n" or a lone "\r"
// (so that a CRLF file and its LF copy name the same place). The column counts bytes.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition textPosition(std::string_view text, std::size_t offset);

struct JsonSyntaxError {
  std::size_t offset = 0;  // the byte at fault, from 0
  TextPosition position;
  std::string detail;  // the parser's words: "syntax error while parsing value - ..."
  // "line 1, column 17: syntax error while parsing value - ..."
  std::string text() const;
};

// `text` as one JSON value and nothing after it but whitespace. A NUL byte is refused where it
// stands (the parser would take it for the end of the text and accept what precedes it).
// Json: nlohmann::json, or nlohmann::ordered_json to keep the members in the text's order.
template <typename Json = nlohmann::json>
Expected<Json, JsonSyntaxError> parseJson(std::string_view text);

// A member of the outermost object, as the parser met it.
struct TopMember {
  std::string name;
  std::size_t nameEnd = 0;                        // the byte just past the name's closing quote
  std::size_t valueEnd = std::string_view::npos;  // just past its value, once that is read
  std::optional<std::string> text;                // the value, when it is a string
};

// As parseJson, listing in `members` the outermost object's members as they are read, so that
// the caller learns where each one lies in `text`, also when the text is not JSON.
Expected<nlohmann::json, JsonSyntaxError> parseJson(std::string_view text,
                                                    std::vector<TopMember>& members);

// How many times this process has parsed JSON through the functions above.
std::size_t jsonParses();

// One JSON value as one line. Strings that are not UTF-8 (file names may not be) are written with
// replacement characters rather than aborting.
std::string jsonLine(const nlohmann::ordered_json& json);

}  // namespace quenlarch
