// Client protocol codec. Lines are dumped with replacement characters, so a payload or name that
// is not UTF-8 still travels as one valid line (and is then refused as a payload, as deliver
// would).
#include "tools/notification_host/service/client_protocol.h"

#include "tools/common/command_line.h"

namespace quenlarch::notification_host::client_protocol {

std::string encodePush(const Push& push) {
  return tools::jsonLine({{"type", "push"}, {"name", push.name}, {"payload", push.payload}});
}

ClientMessage decodeClientLine(std::string_view line) {
  // The parser takes a NUL byte for the end of its input and would accept what precedes it.
  if (line.find('\0') != std::string_view::npos) return Malformed{"a line must be one JSON object"};
  nlohmann::json json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object()) return Malformed{"a line must be one JSON object"};
  auto type = json.find("type");
  if (type == json.end() || !type->is_string()) return Malformed{"a line needs a string \"type\""};
  if (*type == "status") return StatusRequest{};
  if (*type != "push") return Malformed{"unknown type " + type->dump()};
  auto name = json.find("name");
  auto payload = json.find("payload");
  if (name == json.end() || !name->is_string() || payload == json.end() || !payload->is_string()) {
    return Malformed{"a push needs a string \"name\" and a string \"payload\""};
  }
  return Push{name->get<std::string>(), payload->get<std::string>()};
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
  return tools::jsonLine(answer);
}

std::string errorAnswer(std::string_view message) {
  return tools::jsonLine({{"type", "error"}, {"message", message}});
}

}  // namespace quenlarch::notification_host::client_protocol
