// The service's display: rendering needs only the tables, read-only after construction, so only
// the presenter's calls are serialized.
#include "tools/notification_host/service/service_display.h"

#include "tools/notification_host/alert_rendering.h"
#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/shown_line.h"

namespace quenlarch::notification_host {

ServiceDisplay::ServiceDisplay(const std::string& appPath, bool desktop)
    : strings_(loadLocalizedStrings(appPath, preferredLanguagesFromEnvironment())),
      desktopWanted_(desktop) {
  if (!desktopWanted_) return;
  MutexLock lock(desktopMutex_);
  desktop_.emplace(appPath, [](std::string_view message) { note(message); });
}

nlohmann::ordered_json ServiceDisplay::show(const std::string& payloadName, const Shown& shown) {
  nlohmann::ordered_json line = shownLine(payloadName, shown, strings_);
  if (desktopWanted_) {
    RenderedAlert alert = renderAlert(shown.content->userInfo(), strings_);
    MutexLock lock(desktopMutex_);
    desktop_->present(*shown.content, alert);
  }
  return line;
}

}  // namespace quenlarch::notification_host
