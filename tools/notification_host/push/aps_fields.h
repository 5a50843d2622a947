// What a payload's aps carries for the content the host builds: the badge, and the displayed
// fields (the alert's title, subtitle and body, its localization keys, the sound, category and
// thread) under the names a delivered notification gives them.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/plist_value.h"

namespace quenlarch::notification_host::push {

// aps.badge when it is an integer a badge can carry.
std::optional<std::int64_t> badgeFromAps(const nlohmann::json& aps);
// The displayed fields of `aps`, each only when present.
PlistValue displayFieldsFromAps(const nlohmann::json& aps);

}  // namespace quenlarch::notification_host::push
