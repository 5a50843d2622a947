// badge-app commands that install and remove the app: install lays out the app bundle and its badge
// extension on disk, creates the badge item and gives the installation a device token; uninstall
// deletes the item and retires the token.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// Adds the subcommands to `app`; each sets `exitCode` when it runs.
void addInstallCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
