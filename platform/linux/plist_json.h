// Conversion between JSON (push payloads, the host protocol) and property-list values.
// JSON maps one to one onto property lists. The property-list types JSON lacks are written in a
// tagged form on the way out: data as {"$data": "<hex>"}, a date as {"$date": seconds}, and a
// dictionary with non-string keys as {"$dictionary": [[key, value], ...]}. Reading never
// interprets those tags, so a payload always comes back exactly as it was sent.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include "platform/plist_value.h"

namespace quenlarch {

PlistValue plistFromJson(const nlohmann::json& json);
nlohmann::json jsonFromPlist(const PlistValue& value);

}  // namespace quenlarch
