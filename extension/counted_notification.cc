// Counted-notification classification.
#include "extension/counted_notification.h"

namespace quenlarch {

const std::set<std::string, std::less<>>& countedLocKeys() {
  static const std::set<std::string, std::less<>> keys{"Neue Nachricht", "Verpasster Anruf"};
  return keys;
}

bool isCountedNotification(const PlistValue& userInfo) {
  const PlistValue* aps = userInfo.find("aps");
  if (aps == nullptr || !aps->isDictionaryWithStringKeys()) return false;
  const PlistValue* alert = aps->find("alert");
  if (alert == nullptr || !alert->isDictionaryWithStringKeys()) return false;
  const PlistValue* locKey = alert->find("loc-key");
  if (locKey == nullptr || !locKey->isString()) return false;
  return countedLocKeys().contains(*locKey->asString());
}

}  // namespace quenlarch
