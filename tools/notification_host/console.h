// What notification-host writes: one JSON line per shown notification on stdout, and diagnostics
// prefixed with the program name on stderr.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "tools/notification_host/delivery_session.h"
#include "tools/notification_host/localized_strings.h"

namespace quenlarch::notification_host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // a payload was refused, or there was no extension to run
inline constexpr int kExitUsage = 2;   // malformed arguments

// Prints "notification-host: <message>" on stderr.
void note(std::string_view message);
// Prints like note() and returns `code`, for `return fail(...)`.
int fail(int code, std::string_view message);

// The line for a shown notification: payload name, who showed it, the badge, the alert as rendered
// with `strings`, the payload, then the displayed fields spread in (absent ones omitted).
nlohmann::ordered_json shownLine(const std::string& payloadName, const Shown& shown,
                                 const LocalizedStrings& strings = {});
// Writes `line` to stdout and flushes it, so that a reader sees each notification as it is shown.
void printLine(const nlohmann::ordered_json& line);

}  // namespace quenlarch::notification_host
