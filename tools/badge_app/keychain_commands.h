// badge-app commands that act on an installed app and its keychain item: install, status, enable,
// disable, set-count, record, uninstall.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

void addKeychainCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
