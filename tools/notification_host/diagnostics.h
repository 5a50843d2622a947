// Diagnostics of notification-host: one line each on stderr, "notification-host: <message>", with
// paths, names and the extension's words escaped so that a message never spans two lines.
#pragma once

#include <string_view>

#include "tools/common/command_line.h"

namespace quenlarch::notification_host {

// The host's console (its program name and stderr).
const tools::Console& console();
// Prints `message` as one diagnostic line.
void note(std::string_view message);

}  // namespace quenlarch::notification_host
