// What the desktop presenter shows for one push: the rendered alert, the launcher count and the
// hints a desktop notification carries (urgency, sound, replacement of an earlier notification,
// the id reported when a person opens it). The host fills one per shown push: the payload's part
// with desktopNotice(), the request's part (collapse id, apns id) itself.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/notification_content.h"
#include "tools/notification_host/rendering/alert_rendering.h"

namespace quenlarch::notification_host {

struct DesktopNotice {
  RenderedAlert alert;                           // no text at all: no notification
  std::optional<std::int64_t> badge;             // the launcher count; none leaves it as it is
  std::optional<std::string> interruptionLevel;  // aps.interruption-level
  bool sound = false;                            // aps.sound names a sound
  std::optional<std::string> collapseId;  // a later notice with the same id replaces this one
  std::string apnsId;                     // reported when the person opens the notification
};

// The notice for `shown` with `alert` rendered from it: its badge, aps.interruption-level (when a
// string) and aps.sound (a non-empty name, or a dictionary as critical alerts give it).
DesktopNotice desktopNotice(const NotificationContent& shown, RenderedAlert alert);

// The notification's urgency: passive 0 (low); active and time-sensitive 1 (normal), as is none or
// a level this host does not know; critical 2.
std::uint8_t urgencyFor(const std::optional<std::string>& interruptionLevel);

// {"event":"opened","apnsId":...}: what the host prints when a person opens a notification.
nlohmann::ordered_json openedEventLine(const std::string& apnsId);

}  // namespace quenlarch::notification_host
