// What badge-app prints: its diagnostics console, result lines whose loss is an error, and the
// JSON shape of a stored badge record.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "badge/badge_record.h"
#include "platform/linux/expected.h"
#include "tools/common/command_line.h"

namespace quenlarch::badge_app {

// "badge-app: <message>" on stderr, one line each.
const tools::Console& console();

// Why a command stops before its result: the exit code and the one line that says why.
struct CommandFailure {
  int exitCode = tools::kExitFailed;
  std::string message;
};
// A step of a command: its value, or why the command stops.
template <typename T>
using CommandStep = Expected<T, CommandFailure>;

inline Unexpected<CommandFailure> failure(int exitCode, std::string message) {
  return unexpected(CommandFailure{exitCode, std::move(message)});
}
// Prints the failure's line and returns its exit code, for `return report(step.error());`.
int report(const CommandFailure& failure);

// Writes `json` as one line on stdout. kExitOk, or kExitFailed with one line on stderr when the
// output was lost (a full disk, a closed pipe).
int emitJson(const nlohmann::ordered_json& json);
// The same for one plain line of text.
int emitLine(std::string_view line);

// A record as status shows it. The count is null when it cannot be unmasked (another
// installation's record), and ownedByThisInstall follows the codec's ownership rule.
nlohmann::ordered_json describeRecord(const ByteString& record, const BadgeRecordDecoding& decoded,
                                      const HomeScreenBadgeInstallTag& knownTag);

}  // namespace quenlarch::badge_app
