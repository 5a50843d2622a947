// The app as the desktop sees it, read from its bundle, and an alert's notification text.
#include "tools/notification_host/desktop/desktop_app.h"

#include <filesystem>
#include <memory>

#include "platform/linux/disk_bundle.h"

namespace quenlarch::notification_host {
namespace {

std::optional<std::string> infoString(const DiskBundle& bundle, std::string_view key) {
  std::optional<PlistValue> value = bundle.objectForInfoDictionaryKey(key);
  if (!value || !value->isString() || value->asString()->empty()) return std::nullopt;
  return *value->asString();
}

}  // namespace

DesktopApp desktopAppFromBundle(const std::string& appPath) {
  std::unique_ptr<DiskBundle> bundle = DiskBundle::open(appPath);
  const std::filesystem::path path(bundle->bundleURL());
  const std::string stem = path.stem().string();
  DesktopApp app;
  app.name = infoString(*bundle, "CFBundleDisplayName")
                 .value_or(infoString(*bundle, "CFBundleName").value_or(stem));
  app.desktopEntry = infoString(*bundle, "CFBundleIdentifier").value_or(stem);
  if (std::optional<std::string> file = infoString(*bundle, "CFBundleIconFile")) {
    std::filesystem::path icon = path / "Contents" / "Resources" / *file;
    if (!icon.has_extension()) icon += ".png";
    std::error_code ec;
    if (std::filesystem::is_regular_file(icon, ec)) app.icon = "file://" + icon.string();
  }
  if (app.icon.empty()) app.icon = infoString(*bundle, "CFBundleIconName").value_or("");
  return app;
}

std::optional<NotificationText> notificationText(const RenderedAlert& alert,
                                                 const DesktopApp& app) {
  if (!alert.title && !alert.subtitle && !alert.body) return std::nullopt;
  NotificationText text;
  text.summary = alert.title.value_or(app.name);
  for (const std::optional<std::string>& line : {alert.subtitle, alert.body}) {
    if (!line) continue;
    if (!text.body.empty()) text.body += '\n';
    text.body += *line;
  }
  return text;
}

}  // namespace quenlarch::notification_host
