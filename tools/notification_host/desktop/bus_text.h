// Text as the session bus takes it. D-Bus strings must be valid UTF-8 without NUL, and sd-bus also
// refuses Unicode noncharacters (U+FFFE, U+FDD0 ...) locally, so a push whose text has any of these
// would never reach the notification server. Used by the desktop presenter on every string it
// sends.
#pragma once

#include <string>
#include <string_view>

namespace quenlarch::notification_host {

// `text` with every ill-formed UTF-8 sequence, NUL and noncharacter replaced by U+FFFD; text that
// is fine already comes back unchanged.
std::string busText(std::string_view text);

// `text` for a notification body that the server reads as markup: "&", "<" and ">" escaped.
std::string escapeMarkup(std::string_view text);

}  // namespace quenlarch::notification_host
