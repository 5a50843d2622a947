// `notification-host serve`: the long-running service that keeps an app's extension warm and
// answers pushes from clients over a Unix socket.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::notification_host {

// Adds the subcommand to `app`; its callback sets `exitCode`.
void addServeCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
