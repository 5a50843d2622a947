// badge-app's option validators.
#include "tools/badge_app/option_checks.h"

#include <cstdint>
#include <limits>
#include <string>

#include "platform/hex.h"
#include "tools/common/command_line.h"

namespace quenlarch::badge_app {

CLI::Validator utf8Path() {
  return CLI::Validator(
      [](std::string& path) -> std::string {
        if (path.empty()) return "an empty path is not a path";
        if (!tools::isUtf8(path)) return "the path is not valid UTF-8";
        return {};
      },
      "PATH");
}

CLI::Validator teamIdentifier() {
  return CLI::Validator(
      [](std::string& team) -> std::string {
        const bool valid = !team.empty() && team.size() <= 32 &&
                           team.find_first_not_of(
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789") == std::string::npos;
        return valid ? std::string() : "must be 1 to 32 letters or digits";
      },
      "TEAM");
}

CLI::Option* wholeCount(CLI::Option* option) {
  const CLI::Validator digits(
      [](std::string& text) -> std::string {
        const bool digitsOnly =
            !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        return digitsOnly ? std::string() : "must be a whole number from 0 to 4294967295";
      },
      "N");
  // Checked in turn: the range only sees digits.
  return option->check(digits)->check(
      CLI::Range(std::uint64_t{0}, std::uint64_t{std::numeric_limits<std::uint32_t>::max()}));
}

CLI::Option* deviceCount(CLI::Option* option) {
  return option->check(CLI::Validator(
      [](std::string& text) -> std::string {
        // Digits only; leading zeros are dropped before the length check, so 000001 is 1.
        const std::size_t first = text.find_first_not_of('0');
        const bool fits = !text.empty() &&
                          text.find_first_not_of("0123456789") == std::string::npos &&
                          first != std::string::npos && text.size() - first <= 6 &&
                          std::stoul(text.substr(first)) <= kMaxFleetDevices;
        return fits ? std::string()
                    : "must be a whole number from 1 to " + std::to_string(kMaxFleetDevices);
      },
      "N"));
}

CLI::Validator hexBytes() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return hexDecode(text) ? std::string() : "must be hex digits in pairs";
      },
      "HEX");
}

}  // namespace quenlarch::badge_app
