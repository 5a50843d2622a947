// `notification-host status`: what the running service's extension and device are doing, as the
// service's status line, laid out for a person. `notification-host device offline|online`: the
// device leaves or comes back; the device's state afterwards, laid out the same way.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::notification_host {

// Adds the subcommand to `app`; its callback sets `exitCode`.
void addStatusCommand(CLI::App& app, int& exitCode);
void addDeviceCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
