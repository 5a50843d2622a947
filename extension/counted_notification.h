// Which notifications add one to the home-screen badge: alerts whose localization key is the app's
// new-message or missed-call key. Everything else (silent pushes, literal-text alerts) does not.
#pragma once

#include <set>
#include <string>

#include "platform/plist_value.h"

namespace quenlarch {

// "Neue Nachricht" and "Verpasster Anruf". Process-wide, built once.
const std::set<std::string, std::less<>>& countedLocKeys();

// True exactly when userInfo["aps"]["alert"]["loc-key"] is a string in countedLocKeys(), compared
// exactly (case and whitespace count). Any other shape or type gives false.
bool isCountedNotification(const PlistValue& userInfo);

}  // namespace quenlarch
