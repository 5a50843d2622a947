// What deliver and serve share on the command line: the options that say which app, how long a
// push may take and where shown pushes go. One function registers those options on both commands,
// so that both refuse exactly the same values.
#pragma once

#include <CLI/CLI.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/notification_host/engine/engine_types.h"
#include "tools/notification_host/push/push_gate.h"

namespace quenlarch::notification_host {

inline constexpr double kMaxTimeLimitSeconds = 86400;
inline constexpr double kMaxIdleSeconds = 86400.0 * 365;

struct HostArgs {
  std::string app;
  double timeLimitSeconds = 30;
  int graceMs = 1000;
  std::optional<std::string> keychain;
  // "json": the JSON lines only; "desktop": also notifications and the launcher badge on the
  // session bus.
  std::string show = "json";
  // "mutable": the extension runs for the pushes a device hands it; "all": for every push.
  std::string extensionFor = "mutable";

  Clock::duration timeLimit() const;
  Clock::duration grace() const { return std::chrono::milliseconds(graceMs); }
  bool desktop() const { return show == "desktop"; }
  ExtensionFor extensionScope() const {
    return extensionFor == "all" ? ExtensionFor::kAll : ExtensionFor::kMutable;
  }
};

// Registers --app, --time-limit, --grace-ms, --keychain, --show and --extension-for on `command`.
// `appRequired` false: the command checks for --app itself (serve takes --fleet instead).
void addHostOptions(CLI::App& command, HostArgs& args, bool appRequired = true);

// A finite number of seconds from 0 to `maxSeconds`, such as 2.5.
CLI::Validator secondsValidator(double maxSeconds = kMaxTimeLimitSeconds);
// Whole milliseconds from 0 to a day.
CLI::Validator millisecondsValidator();
// A path that is not empty and is valid UTF-8: an empty one would silently mean "the default"
// further down (an extension given QUENLARCH_KEYCHAIN= uses the store in $HOME), and paths are
// shown in JSON, which carries only UTF-8.
CLI::Validator pathValidator();

// --token T on a client command: a device of a fleet, 64 hexadecimal digits.
void addTokenOption(CLI::App& command, std::optional<std::string>& token, const std::string& what);

// Seconds as the clock's duration; `seconds` has passed secondsValidator.
Clock::duration toDuration(double seconds);

}  // namespace quenlarch::notification_host
