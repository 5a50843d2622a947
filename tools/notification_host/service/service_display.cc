// The service's display: rendering needs only the tables, read-only after construction, and the
// presenter takes pushes from any thread.
#include "tools/notification_host/service/service_display.h"

#include "tools/notification_host/alert_rendering.h"
#include "tools/notification_host/desktop_notice.h"
#include "tools/notification_host/diagnostics.h"

namespace quenlarch::notification_host {

ServiceDisplay::ServiceDisplay(const std::string& appPath, bool desktop)
    : strings_(loadLocalizedStrings(appPath, preferredLanguagesFromEnvironment())) {
  if (!desktop) return;
  desktop_.emplace(
      appPath, [](std::string_view message) { note(message); },
      [this](const std::string& apnsId) { printOpened(apnsId); });
}

nlohmann::ordered_json ServiceDisplay::show(const std::string& payloadName, const Shown& shown) {
  nlohmann::ordered_json line = shownLine(payloadName, shown, strings_);
  if (desktop_) {
    desktop_->present(
        desktopNotice(*shown.content, renderAlert(shown.content->userInfo(), strings_)));
  }
  return line;
}

void ServiceDisplay::printOpened(const std::string& apnsId) {
  MutexLock lock(outputMutex_);
  const bool lostBefore = opened_.lost() > 0;
  opened_.print(openedEventLine(apnsId));
  if (!lostBefore && opened_.lost() > 0) {
    note("lost an opened event writing standard output (" + opened_.failure() + ")");
  }
}

}  // namespace quenlarch::notification_host
