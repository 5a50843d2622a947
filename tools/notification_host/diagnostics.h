// Diagnostics of notification-host: one line each on stderr, "notification-host: <message>", with
// paths, names and the extension's words escaped so that a message never spans two lines. Notes
// pass a rate limit (NoteLimiter): a kind repeated within a second is printed a few times, then
// counted in one line.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "tools/common/command_line.h"

namespace quenlarch::notification_host {

// The host's console (its program name and stderr).
const tools::Console& console();
// Prints `message` as one diagnostic line.
void note(std::string_view message);

// Where the lines the limit lets through go: `output` (serve's writer on its loop) instead of
// stderr, and `countDue` is told when a held-back count falls due, so that it is printed then
// (printDueNoteCounts). Empty functions go back to stderr, written at once.
void routeNotes(std::function<void(std::string_view line)> output,
                std::function<void(std::chrono::steady_clock::time_point due)> countDue);
// Prints the counts due by now; returns when the next one falls due.
std::optional<std::chrono::steady_clock::time_point> printDueNoteCounts();
// Prints every count still held, for a program about to exit.
void flushNoteCounts();
// Note lines that could not be written to stderr (a program that lost some exits non-zero).
std::size_t lostNoteLines();

}  // namespace quenlarch::notification_host
