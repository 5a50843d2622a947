// badge-app fleet: many installed apps at once, each standing for one device with its own bundle
// path (so its own install tag and mask), keychain file and device token, for driving a service
// with many devices. The devices are listed in a manifest (platform/linux/fleet_manifest.h).
#pragma once

#include <CLI/CLI.hpp>

namespace quenlarch::badge_app {

// Adds the fleet subcommand and its create subcommand to `app`; each sets `exitCode` when it runs.
void addFleetCommands(CLI::App& app, int& exitCode);

}  // namespace quenlarch::badge_app
