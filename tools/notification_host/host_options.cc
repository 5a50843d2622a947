// The shared options and their validators. CLI11 converts numbers itself, but it accepts "nan" and
// "inf" as doubles and a range check lets NaN through, so seconds are parsed here with
// std::from_chars and checked for being finite.
#include "tools/notification_host/host_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

#include "tools/common/command_line.h"

namespace quenlarch::notification_host {
namespace {

constexpr long long kMaxMillis = 86'400'000;

std::string numberText(double value) {
  std::string text = std::to_string(static_cast<long long>(value));
  return text;
}

}  // namespace

Clock::duration HostArgs::timeLimit() const { return toDuration(timeLimitSeconds); }

Clock::duration toDuration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

CLI::Validator secondsValidator(double maxSeconds) {
  return CLI::Validator(
      [maxSeconds](std::string& text) -> std::string {
        double seconds = 0;
        const char* end = text.data() + text.size();
        auto [rest, error] = std::from_chars(text.data(), end, seconds);
        if (error != std::errc() || rest != end || !std::isfinite(seconds) || seconds < 0 ||
            seconds > maxSeconds) {
          return "expects seconds as a number from 0 to " + numberText(maxSeconds) +
                 " (such as 2.5), not \"" + tools::oneLine(text) + "\"";
        }
        return "";
      },
      "SECONDS");
}

CLI::Validator millisecondsValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        long long millis = 0;
        const char* end = text.data() + text.size();
        auto [rest, error] = std::from_chars(text.data(), end, millis);
        if (error != std::errc() || rest != end || millis < 0 || millis > kMaxMillis) {
          return "expects whole milliseconds from 0 to 86400000, not \"" + tools::oneLine(text) +
                 "\"";
        }
        return "";
      },
      "MILLISECONDS");
}

CLI::Validator pathValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (text.empty()) return "expects a path, not an empty string";
        if (!tools::isUtf8(text))
          return "expects a path in UTF-8, not \"" + tools::oneLine(text) + "\"";
        return "";
      },
      "PATH");
}

void addTokenOption(CLI::App& command, std::optional<std::string>& token, const std::string& what) {
  command.add_option("--token", token, what)
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const bool hex = text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
                               return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                             });
            return hex ? "" : "expects a device token of 64 hexadecimal digits";
          },
          "TOKEN"));
}

void addHostOptions(CLI::App& command, HostArgs& args, bool appRequired) {
  command.add_option("--app", args.app, "The app bundle directory")
      ->required(appRequired)
      ->check(pathValidator());
  command
      .add_option("--time-limit", args.timeLimitSeconds,
                  "Seconds the extension has for each notification, from its arrival")
      ->check(secondsValidator())
      ->capture_default_str();
  command
      .add_option("--grace-ms", args.graceMs,
                  "Milliseconds the extension has after being told its time will expire")
      ->check(millisecondsValidator())
      ->capture_default_str();
  command
      .add_option("--keychain", args.keychain,
                  "Keychain store for the extension (its QUENLARCH_KEYCHAIN)")
      ->check(pathValidator());
  command
      .add_option("--show", args.show,
                  "Where shown pushes go besides the JSON lines: json (nowhere else) or desktop "
                  "(notifications and the launcher badge on the session bus)")
      ->check(CLI::IsMember({"json", "desktop"}))
      ->capture_default_str();
  command
      .add_option("--extension-for", args.extensionFor,
                  "Which pushes run the extension: mutable (those with an alert and "
                  "mutable-content 1, as on a device) or all (every push)")
      ->check(CLI::IsMember({"mutable", "all"}))
      ->capture_default_str();
}

}  // namespace quenlarch::notification_host
