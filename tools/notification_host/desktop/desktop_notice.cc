// Desktop notices from shown content.
#include "tools/notification_host/desktop/desktop_notice.h"

namespace quenlarch::notification_host {

DesktopNotice desktopNotice(const NotificationContent& shown, RenderedAlert alert) {
  DesktopNotice notice;
  notice.alert = std::move(alert);
  notice.badge = shown.badge();
  const PlistValue* aps = shown.userInfo().find("aps");
  if (aps == nullptr) return notice;
  if (const PlistValue* level = aps->find("interruption-level"); level && level->isString()) {
    notice.interruptionLevel = *level->asString();
  }
  if (const PlistValue* sound = aps->find("sound")) {
    notice.sound = (sound->isString() && !sound->asString()->empty()) || sound->isDictionary();
  }
  return notice;
}

std::uint8_t urgencyFor(const std::optional<std::string>& interruptionLevel) {
  if (interruptionLevel == "passive") return 0;
  if (interruptionLevel == "critical") return 2;
  return 1;
}

nlohmann::ordered_json openedEventLine(const std::string& apnsId) {
  return {{"event", "opened"}, {"apnsId", apnsId}};
}

}  // namespace quenlarch::notification_host
