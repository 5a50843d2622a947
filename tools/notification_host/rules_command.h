// `notification-host rules`: the push rule table (push_rules.h) for a person and for the manual,
// which prints it from this command so that the two never differ.
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::notification_host {

// Adds the subcommand to `app`; its callback sets `exitCode`.
void addRulesCommand(CLI::App& app, int& exitCode);

}  // namespace quenlarch::notification_host
