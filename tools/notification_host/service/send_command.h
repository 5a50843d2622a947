// `notification-host send`: the client of `notification-host serve`, printing what the service
// shows for each payload as `deliver` would.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::notification_host {

// Adds the subcommand to `app`; its callback sets `exitCode`.
void addSendCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
