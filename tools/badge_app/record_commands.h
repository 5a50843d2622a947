// badge-app commands that work on tags and records alone, without a keychain: tag, decode, encode.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// Adds the subcommands to `app`; each sets `exitCode` when it runs.
void addRecordCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
