// How the desktop knows the app (its name, icon and .desktop id, from its Info.plist) and the
// summary and body a rendered alert becomes in a desktop notification.
#pragma once

#include <optional>
#include <string>

#include "tools/notification_host/rendering/alert_rendering.h"

namespace quenlarch::notification_host {

struct DesktopApp {
  std::string name;          // CFBundleDisplayName, else CFBundleName, else the bundle's file name
  std::string icon;          // file:// URI of CFBundleIconFile in Contents/Resources, else
                             // CFBundleIconName as an icon-theme name, else empty
  std::string desktopEntry;  // CFBundleIdentifier, else the bundle's file name: the .desktop id
};

DesktopApp desktopAppFromBundle(const std::string& appPath);

// The notification's summary and body for `alert`: the title (the app's name when there is none)
// and the subtitle and body on lines of their own. None when the alert has no text at all.
struct NotificationText {
  std::string summary;
  std::string body;
};
std::optional<NotificationText> notificationText(const RenderedAlert& alert, const DesktopApp& app);

}  // namespace quenlarch::notification_host
