// aps fields: a JSON null has no property-list form, so a field that is null counts as absent.
#include "tools/notification_host/push/aps_fields.h"

#include <limits>

#include "platform/linux/plist_json.h"

namespace quenlarch::notification_host::push {
namespace {

// Copies object[from] into fields[to]; with `stringsOnly`, anything but a string counts as absent.
void copyField(const nlohmann::json& object, const char* from, PlistValue& fields, const char* to,
               bool stringsOnly = false) {
  auto it = object.find(from);
  if (it == object.end() || it->is_null() || (stringsOnly && !it->is_string())) return;
  fields.set(to, plistFromJson(*it));
}

}  // namespace

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

PlistValue displayFieldsFromAps(const nlohmann::json& aps) {
  PlistValue fields;
  if (auto alert = aps.find("alert"); alert != aps.end()) {
    if (alert->is_string()) {
      fields.set("body", plistFromJson(*alert));
    } else if (alert->is_object()) {
      copyField(*alert, "title", fields, "title", true);
      copyField(*alert, "subtitle", fields, "subtitle", true);
      copyField(*alert, "body", fields, "body", true);
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

}  // namespace quenlarch::notification_host::push
