// `notification-host deliver`: runs push payloads through the app's notification service extension
// and prints what is shown. The options are checked by CLI11; the run itself never fails half-way.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace quenlarch::notification_host {

struct DeliverArgs {
  std::string app;
  double timeLimitSeconds = 30;
  int graceMs = 1000;
  std::optional<std::string> keychain;
  std::vector<std::string> payloads;
  // "json": the JSON lines only; "desktop": also notifications and the launcher badge on the
  // session bus.
  std::string show = "json";
};

// Delivers every payload in order; kExitOk, or kExitFailed when a payload was refused, there was
// no extension to run, it could not be started, or a shown line was lost.
int runDeliver(const DeliverArgs& args);

// Registers the "deliver" subcommand on `app`; when it runs, its exit code goes to `exitCode`.
void addDeliverCommand(CLI::App& app, int& exitCode);

// Validators the host's subcommands share. A time limit is a finite number of seconds from 0 to a
// day, a grace period whole milliseconds up to a day; a path given as an option must not be empty.
CLI::Validator secondsValidator();
CLI::Validator millisecondsValidator();
CLI::Validator nonEmptyPathValidator();

// Adds --show (json or desktop, into `show`) to `command`: deliver and serve take the same option.
void addShowOption(CLI::App& command, std::string& show);

}  // namespace quenlarch::notification_host
