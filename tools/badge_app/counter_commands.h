// badge-app commands on an installed app's counter: status, enable, disable, set-count, record.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// Adds the subcommands to `app`; each sets `exitCode` when it runs.
void addCounterCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
