// `notification-host deliver`: runs push payloads through the app's notification service extension
// and prints what is shown. The options are checked by CLI11; the run itself never fails half-way.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/notification_host/host_options.h"

namespace quenlarch::notification_host {

struct DeliverArgs : HostArgs {
  std::vector<std::string> payloads;
};

// Delivers every payload in order; kExitOk, or kExitFailed when a payload was refused, there was
// no extension to run, it could not be started, or a shown line was lost.
int runDeliver(const DeliverArgs& args);

// Registers the "deliver" subcommand on `app`; when it runs, its exit code goes to `exitCode`.
void addDeliverCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
