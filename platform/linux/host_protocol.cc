// Host protocol encoding and defensive decoding.
#include "platform/linux/host_protocol.h"

#include <utility>
#include <vector>

#include "platform/linux/json_text.h"
#include "platform/linux/plist_json.h"

namespace quenlarch::host_protocol {

bool nestsDeeperThan(const nlohmann::json& json, std::size_t maxDepth) {
  std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&json, 1}};
  while (!pending.empty()) {
    const auto [node, depth] = pending.back();
    pending.pop_back();
    if (!node->is_structured()) continue;
    if (depth > maxDepth) return true;
    for (const nlohmann::json& child : *node) pending.emplace_back(&child, depth + 1);
  }
  return false;
}

nlohmann::json contentToJson(const NotificationContent& content) {
  nlohmann::json json{{"userInfo", jsonFromPlist(content.userInfo())}, {"badge", nullptr}};
  if (auto badge = content.badge()) json["badge"] = *badge;
  if (const auto* push = dynamic_cast<const PushContent*>(&content)) {
    json["fields"] = jsonFromPlist(push->displayFields());
  } else {
    json["fields"] = nlohmann::json::object();
  }
  return json;
}

std::optional<std::shared_ptr<const PushContent>> contentFromJson(const nlohmann::json& json) {
  if (!json.is_object()) return std::nullopt;
  if (nestsDeeperThan(json, kMaxContentNestingDepth)) return std::nullopt;
  auto userInfo = json.find("userInfo");
  if (userInfo == json.end() || !userInfo->is_object()) return std::nullopt;
  std::optional<std::int64_t> badge;
  if (auto b = json.find("badge"); b != json.end() && !b->is_null()) {
    if (b->is_number_integer() && !b->is_number_unsigned()) {
      badge = b->get<std::int64_t>();
    } else if (b->is_number_unsigned() && b->get<std::uint64_t>() <= INT64_MAX) {
      badge = static_cast<std::int64_t>(b->get<std::uint64_t>());
    } else {
      return std::nullopt;
    }
  }
  PlistValue fields;
  if (auto f = json.find("fields"); f != json.end()) {
    if (!f->is_object()) return std::nullopt;
    fields = plistFromJson(*f);
  }
  return std::make_shared<const PushContent>(plistFromJson(*userInfo), badge, std::move(fields));
}

namespace {

// Adds `log` to an answer unless it is empty.
nlohmann::json withLog(nlohmann::json answer, const std::vector<LogEntry>& log) {
  if (log.empty()) return answer;
  nlohmann::json entries = nlohmann::json::array();
  for (const LogEntry& entry : log) {
    nlohmann::json line{{"badgeNote", entry.badgeNote}};
    if (entry.detail) line["detail"] = *entry.detail;
    entries.push_back(std::move(line));
  }
  answer["log"] = std::move(entries);
  return answer;
}

// The well-formed entries of an answer's "log"; anything else in it is passed over.
std::vector<LogEntry> logOf(const nlohmann::json& answer) {
  std::vector<LogEntry> log;
  auto entries = answer.find("log");
  if (entries == answer.end() || !entries->is_array()) return log;
  for (const nlohmann::json& entry : *entries) {
    if (!entry.is_object()) continue;
    auto note = entry.find("badgeNote");
    if (note == entry.end() || !note->is_string()) continue;
    LogEntry read{note->get<std::string>(), std::nullopt};
    if (auto detail = entry.find("detail"); detail != entry.end() && detail->is_string()) {
      read.detail = detail->get<std::string>();
    }
    log.push_back(std::move(read));
  }
  return log;
}

}  // namespace

std::string encode(const Message& message) {
  nlohmann::json json = std::visit(
      [](const auto& m) -> nlohmann::json {
        using T = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<T, Request>) {
          return {{"type", "request"}, {"id", m.id}, {"content", contentToJson(*m.content)}};
        } else if constexpr (std::is_same_v<T, TimeWillExpire>) {
          if (!m.id) return {{"type", "timeWillExpire"}};
          return {{"type", "timeWillExpire"}, {"id", *m.id}};
        } else if constexpr (std::is_same_v<T, Ready>) {
          return {{"type", "ready"}};
        } else if constexpr (std::is_same_v<T, Deliver>) {
          return withLog(
              {{"type", "deliver"}, {"id", m.id}, {"content", contentToJson(*m.content)}}, m.log);
        } else if constexpr (std::is_same_v<T, Released>) {
          return withLog({{"type", "released"}, {"id", m.id}}, m.log);
        } else {
          return {{"type", "error"}, {"message", m.message}};
        }
      },
      message);
  // Invalid UTF-8 in a payload string must not abort the encoder.
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

std::optional<std::string> stringField(const nlohmann::json& json, const char* name) {
  auto it = json.find(name);
  if (it == json.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

Message decode(std::string_view line) {
  // Counted with every other parse of what a push carries (json_text.h).
  auto read = parseJson(line);
  if (!read) return Error{"not JSON"};
  const nlohmann::json& json = *read;
  if (!json.is_object()) return Error{"not a JSON object"};
  std::optional<std::string> type = stringField(json, "type");
  if (!type) return Error{"no \"type\""};

  if (*type == "ready") return Ready{};
  std::optional<std::string> id = stringField(json, "id");
  if (*type == "timeWillExpire") {
    if (!id && json.contains("id")) {
      return Error{"timeWillExpire with an \"id\" that is not a string"};
    }
    return TimeWillExpire{id};
  }
  if (*type == "released") {
    if (!id) return Error{"released without an \"id\""};
    return Released{*id, logOf(json)};
  }
  if (*type == "error") return Error{stringField(json, "message").value_or("")};
  if (*type == "request" || *type == "deliver") {
    if (!id) return Error{*type + " without an \"id\""};
    auto content = json.find("content");
    if (content == json.end()) return Error{*type + " without a \"content\""};
    auto parsed = contentFromJson(*content);
    if (!parsed) return Error{*type + " with a malformed \"content\""};
    if (*type == "request") return Request{*id, *parsed};
    return Deliver{*id, *parsed, logOf(json)};
  }
  return Error{"unknown type \"" + *type + "\""};
}

}  // namespace quenlarch::host_protocol
