// badge-app commands that install and remove the app: install lays out the app bundle and its badge
// extension on disk and creates the badge item; uninstall deletes the item.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// Adds the subcommands to `app`; each sets `exitCode` when it runs.
void addInstallCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
