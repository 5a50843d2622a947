// Payload checks and the payload-to-content mapping: userInfo is the whole payload, the badge and
// the displayed fields come from "aps".
#include "tools/notification_host/push/payload.h"

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/linux/host_protocol.h"
#include "platform/linux/plist_json.h"

namespace quenlarch::notification_host {
namespace {

std::optional<std::int64_t> badgeFromAps(const nlohmann::json& aps) {
  auto badge = aps.find("badge");
  if (badge == aps.end()) return std::nullopt;
  // nlohmann reads non-negative numbers as unsigned; one beyond int64 is no badge we can carry.
  if (badge->is_number_unsigned()) {
    std::uint64_t value = badge->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  if (badge->is_number_integer()) return badge->get<std::int64_t>();
  return std::nullopt;
}

// Copies aps[from] into fields[to]. A JSON null has no property-list form, so it counts as absent.
void copyField(const nlohmann::json& object, const char* from, PlistValue& fields, const char* to) {
  auto it = object.find(from);
  if (it != object.end() && !it->is_null()) fields.set(to, plistFromJson(*it));
}

void copyStringField(const nlohmann::json& object, const char* from, PlistValue& fields,
                     const char* to) {
  auto it = object.find(from);
  if (it != object.end() && it->is_string()) fields.set(to, plistFromJson(*it));
}

PlistValue displayFieldsFromAps(const nlohmann::json& aps) {
  PlistValue fields;
  if (auto alert = aps.find("alert"); alert != aps.end()) {
    if (alert->is_string()) {
      fields.set("body", plistFromJson(*alert));
    } else if (alert->is_object()) {
      copyStringField(*alert, "title", fields, "title");
      copyStringField(*alert, "subtitle", fields, "subtitle");
      copyStringField(*alert, "body", fields, "body");
      // Localisation keys are resolved on the device later, so they travel as they came.
      copyField(*alert, "loc-key", fields, "locKey");
      copyField(*alert, "loc-args", fields, "locArgs");
      copyField(*alert, "title-loc-key", fields, "titleLocKey");
    }
  }
  // A sound may be a name or a dictionary (critical alerts); either is passed on.
  copyField(aps, "sound", fields, "sound");
  copyField(aps, "category", fields, "category");
  copyField(aps, "thread-id", fields, "threadIdentifier");
  return fields;
}

}  // namespace

std::string_view withoutTrailingWhitespace(std::string_view bytes) {
  const std::size_t end = bytes.find_last_not_of(" \t\r\n");
  return bytes.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

std::string tooLargeReason(std::size_t maxBytes) {
  return "larger than the " + std::to_string(maxBytes) + " bytes a push payload may have";
}

std::variant<std::shared_ptr<const PushContent>, Refusal> contentFromPayload(std::string_view bytes,
                                                                             std::size_t maxBytes) {
  bytes = withoutTrailingWhitespace(bytes);
  if (bytes.size() > maxBytes) {
    return Refusal{tooLargeReason(maxBytes)};
  }
  // The parser takes a NUL byte for the end of its input: {"aps":{}}\0junk would pass.
  if (bytes.find('\0') != std::string_view::npos) return Refusal{"not valid JSON"};
  nlohmann::json payload = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
  if (payload.is_discarded()) return Refusal{"not valid JSON"};
  if (!payload.is_object()) return Refusal{"not a JSON object"};
  auto aps = payload.find("aps");
  if (aps == payload.end()) return Refusal{"no \"aps\" member"};
  if (!aps->is_object()) return Refusal{"\"aps\" is not an object"};
  // The payload travels to the extension as the content's userInfo, one level down.
  if (host_protocol::nestsDeeperThan(payload, host_protocol::kMaxContentNestingDepth - 1)) {
    return Refusal{"nests deeper than " +
                   std::to_string(host_protocol::kMaxContentNestingDepth - 1) + " levels"};
  }
  return std::make_shared<const PushContent>(plistFromJson(payload), badgeFromAps(*aps),
                                             displayFieldsFromAps(*aps));
}

}  // namespace quenlarch::notification_host
