// The text a person sees for a push: aps.alert rendered as the platform renders it. A string alert
// is the body; a dictionary gives title, subtitle and body, each either literal or a localization
// key (title-loc-key, subtitle-loc-key, loc-key) whose format from the app's strings tables gets
// the matching *-loc-args (strings/format_renderer.h). A key with no table entry is used as its
// own format, filled with the arguments. Every field is capped at kMaxRenderedBytes. Used for the
// shown JSON lines and for the desktop notification.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/plist_value.h"
#include "tools/notification_host/rendering/localized_strings.h"

namespace quenlarch::notification_host {

struct RenderedAlert {
  std::optional<std::string> title;
  std::optional<std::string> subtitle;
  std::optional<std::string> body;
  friend bool operator==(const RenderedAlert&, const RenderedAlert&) = default;
};

// Renders `userInfo`'s aps.alert. Fields that are absent, or not strings, stay none; a localization
// key wins over the literal field beside it. Never fails.
RenderedAlert renderAlert(const PlistValue& userInfo, const LocalizedStrings& strings);

// Fills the plain `format` with `args` as renderFormat() does (strings/format_renderer.h). `args`
// may be null or not an array: then there are none.
std::string formatLocalized(std::string_view format, const PlistValue* args);

// {"title", "subtitle", "body"}, absent fields as null.
nlohmann::ordered_json alertJson(const RenderedAlert& alert);

}  // namespace quenlarch::notification_host
