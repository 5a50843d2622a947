// `notification-host status`: what the running service's extension is doing, as the service's
// status line, laid out for a person.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::notification_host {

// Adds the subcommand to `app`; its callback sets `exitCode`.
void addStatusCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
