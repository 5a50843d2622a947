// Shows pushes to the person at a Linux desktop, through the session bus's standard interfaces:
// each alert becomes an org.freedesktop.Notifications notification, and each badge goes to the
// app's launcher entry (docks and task managers) as a com.canonical.Unity.LauncherEntry Update
// signal. Used by notification-host for every shown push when asked for desktop output.
//
// Not thread-safe: one presenter per thread of delivery.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/notification_content.h"
#include "tools/notification_host/alert_rendering.h"

struct sd_bus;

namespace quenlarch::notification_host {

// How the desktop knows the app, from its Info.plist.
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

class DesktopPresenter {
 public:
  // Receives each problem worth telling the person about, once, as one line.
  using Diagnostics = std::function<void(std::string_view message)>;

  // Connects to the session bus. Without one, says so once and presents nothing.
  DesktopPresenter(const std::string& appPath, Diagnostics diagnostics);
  ~DesktopPresenter();
  DesktopPresenter(const DesktopPresenter&) = delete;
  DesktopPresenter& operator=(const DesktopPresenter&) = delete;

  // Shows `alert` as a notification (when it has text) and sets the launcher count from
  // `shown`'s badge: a badge above 0 shows it, 0 (or less) hides it, no badge leaves it as it is.
  // Never fails: without a notification server it says so once and goes on with the badge.
  void present(const NotificationContent& shown, const RenderedAlert& alert);

 private:
  void notify(const NotificationText& text);
  void updateLauncher(std::int64_t badge);
  bool serverTakesMarkup();

  DesktopApp app_;
  Diagnostics diagnostics_;
  sd_bus* bus_ = nullptr;
  std::optional<bool> bodyMarkup_;  // the server's "body-markup" capability, once asked
  bool notificationsFailed_ = false;
  bool launcherFailed_ = false;
};

}  // namespace quenlarch::notification_host
