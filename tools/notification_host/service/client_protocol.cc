// Client protocol codec. Lines are dumped with replacement characters, so a payload or name that
// is not UTF-8 still travels as one valid line (and is then refused as a payload, as deliver
// would).
#include "tools/notification_host/service/client_protocol.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/linux/json_text.h"

namespace quenlarch::notification_host::client_protocol {

namespace {

constexpr std::string_view kJsonWhitespace = " \t\r\n";

const TopMember* memberNamed(const std::vector<TopMember>& members, std::string_view name) {
  auto it = std::find_if(members.begin(), members.end(),
                         [name](const TopMember& member) { return member.name == name; });
  return it == members.end() ? nullptr : &*it;
}

// The payload of a push line whose OBJECT did not read as JSON, or was followed by more: refused
// as BadPayload by the intake, with the place counted from the payload's first byte. Its text
// runs to the line's closing brace; a fault past that is its text ending early.
LinePayload brokenPayload(std::string_view line, std::size_t start, std::size_t at,
                          std::string detail) {
  const std::string_view text = line.substr(start);
  std::string_view body = withoutTrailingWhitespace(text);
  if (body.ends_with('}')) body.remove_suffix(1);
  body = withoutTrailingWhitespace(body);
  std::size_t offset = at - start;
  if (offset >= body.size()) {
    offset = body.size();
    detail = "the text ends inside the JSON value";
  }
  return LinePayload{unexpected(JsonSyntaxError{offset, textPosition(text, offset), detail}),
                     body.size()};
}

// The line's "token", lowercase: none when it has none, Malformed when it is no device token.
std::variant<std::optional<std::string>, Malformed> tokenOf(const std::vector<TopMember>& members) {
  const TopMember* token = memberNamed(members, "token");
  if (token == nullptr) return std::optional<std::string>();
  const bool hex = token->text && token->text->size() == 64 &&
                   std::all_of(token->text->begin(), token->text->end(),
                               [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  if (!hex) return Malformed{R"("token" must be a device token of 64 hexadecimal digits)"};
  std::string lower = *token->text;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::optional<std::string>(std::move(lower));
}

}  // namespace

std::string encodePush(std::string_view name, std::string_view payload,
                       const std::optional<std::string>& token) {
  nlohmann::ordered_json line{{"type", "push"}, {"name", name}};
  if (token) line["token"] = *token;
  line["payload"] = payload;
  return jsonLine(line);
}

namespace {

// True when a line break in `text` could be written as another one without changing what the
// text means: none stands inside a string (where the text is not JSON anyway, and the parser
// would name the character it found).
bool breaksOutsideStrings(std::string_view text) {
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString && c == '\\') {
      ++i;
    } else if (c == '"') {
      inString = !inString;
    } else if (inString && (c == '\n' || c == '\r')) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string pushLine(std::string_view name, std::string_view payload,
                     const std::optional<std::string>& token) {
  const std::size_t first = payload.find_first_not_of(kJsonWhitespace);
  if (first == std::string_view::npos || payload[first] != '{' ||
      payload.find('\0') != std::string_view::npos || !breaksOutsideStrings(payload)) {
    return encodePush(name, payload, token);
  }
  nlohmann::ordered_json head{{"type", "push"}, {"name", name}};
  if (token) head["token"] = *token;
  std::string line = jsonLine(head);
  line.pop_back();  // the closing brace
  line += R"(,"payload":)";
  const std::size_t start = line.size();
  line += payload;
  // Same bytes, same lines: "\r\n" becomes " \r", a lone "\n" a "\r" (textPosition counts both).
  bool afterReturn = false;  // the byte before was a carriage return of the payload's own
  for (std::size_t i = start; i < line.size(); ++i) {
    if (line[i] == '\n') {
      if (afterReturn) line[i - 1] = ' ';
      line[i] = '\r';
      afterReturn = false;
    } else {
      afterReturn = line[i] == '\r';
    }
  }
  line += '}';
  return line;
}

ClientMessage decodeClientLine(std::string_view line) {
  std::vector<TopMember> members;
  auto parsed = parseJson(line, members);
  const TopMember* type = memberNamed(members, "type");
  const TopMember* name = memberNamed(members, "name");
  const TopMember* payload = memberNamed(members, "payload");
  // Where an OBJECT payload starts: just past the colon after its name.
  std::size_t start = std::string_view::npos;
  if (payload != nullptr) {
    const std::size_t colon = line.find_first_not_of(kJsonWhitespace, payload->nameEnd);
    if (colon != std::string_view::npos && line[colon] == ':') start = colon + 1;
  }
  const bool pushSoFar = type != nullptr && type->text == "push" && name != nullptr && name->text;
  if (!parsed) {
    if (!pushSoFar || start == std::string_view::npos || parsed.error().offset < start) {
      return Malformed{"a line must be one JSON object"};
    }
    auto token = tokenOf(members);
    if (auto* bad = std::get_if<Malformed>(&token)) return *bad;
    if (payload->valueEnd == std::string_view::npos) {
      return Push{*name->text, std::get<0>(token),
                  brokenPayload(line, start, parsed.error().offset, parsed.error().detail)};
    }
    // The payload read as a value and the line broke after it: the payload's text went on.
    const std::size_t after = line.find_first_not_of(kJsonWhitespace, payload->valueEnd);
    return Push{
        *name->text, std::get<0>(token),
        brokenPayload(line, start, std::min(after, line.size()), "text after the JSON value")};
  }
  nlohmann::json& json = *parsed;
  if (!json.is_object()) return Malformed{"a line must be one JSON object"};
  if (type == nullptr || !type->text) return Malformed{"a line needs a string \"type\""};
  auto read = tokenOf(members);
  if (auto* bad = std::get_if<Malformed>(&read)) return *bad;
  std::optional<std::string> token = std::get<0>(std::move(read));
  if (*type->text == "status") return StatusRequest{std::move(token)};
  if (*type->text == "device") {
    const nlohmann::json& state = json["state"];
    if (state == "offline" || state == "online") {
      return DeviceRequest{state == "offline", std::move(token)};
    }
    return Malformed{R"(a device line needs "state": "offline" or "online")"};
  }
  if (*type->text != "push") return Malformed{"unknown type " + json["type"].dump()};
  if (!name || !name->text || payload == nullptr ||
      !(json["payload"].is_string() || json["payload"].is_object())) {
    return Malformed{"a push needs a string \"name\" and a string or object \"payload\""};
  }
  if (json["payload"].is_string()) {
    return Push{*name->text, std::move(token), json["payload"].get<std::string>()};
  }
  if (start == std::string_view::npos) return Malformed{"a line must be one JSON object"};
  if (payload != &members.back()) {
    const std::size_t after = line.find_first_not_of(kJsonWhitespace, payload->valueEnd);
    return Push{
        *name->text, std::move(token),
        brokenPayload(line, start, std::min(after, line.size()), "text after the JSON value")};
  }
  return Push{*name->text, std::move(token),
              LinePayload{std::move(json["payload"]), payload->valueEnd - start}};
}

Expected<AcceptedPush, push::PushRefusal> acceptPush(const Push& push,
                                                     const push::PushDestination& destination) {
  if (const auto* text = std::get_if<std::string>(&push.payload)) {
    return notification_host::acceptPush(*text, destination);
  }
  const auto& read = std::get<LinePayload>(push.payload);
  return notification_host::acceptPush(read.read, read.bytes, destination);
}

std::string shownAnswer(std::string_view line) {
  std::string answer = R"({"type":"shown","line":)";
  answer.reserve(answer.size() + line.size() + 1);
  answer += line;
  answer += '}';
  return answer;
}

std::string refusedAnswer(std::string_view reason, std::string_view header,
                          std::string_view message) {
  nlohmann::ordered_json answer{{"type", "refused"}, {"reason", reason}};
  if (!header.empty()) answer["header"] = header;
  answer["message"] = message;
  return jsonLine(answer);
}

std::string errorAnswer(std::string_view message) {
  return jsonLine({{"type", "error"}, {"message", message}});
}

}  // namespace quenlarch::notification_host::client_protocol
