// CLI11 validators for badge-app's options, so that every malformed argument is refused with exit
// 2 while the command line is parsed, before any command reads or writes anything.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// A path: not empty, and valid UTF-8. Install tags hash the path's UTF-8 bytes and the output is
// JSON, so a path in another encoding could only give a tag nobody else derives.
CLI::Validator utf8Path();
// A signing team identifier: 1 to 32 ASCII letters or digits.
CLI::Validator teamIdentifier();
// Makes `option` take a count: decimal digits only (no sign, no spaces), 0 to 4294967295.
CLI::Option* wholeCount(CLI::Option* option);
// Makes `option` take a number of devices: decimal digits only, 1 to kMaxFleetDevices.
inline constexpr unsigned kMaxFleetDevices = 100000;
CLI::Option* deviceCount(CLI::Option* option);
// Bytes as hex digits in pairs (possibly none).
CLI::Validator hexBytes();

}  // namespace quenlarch::badge_app
