// What every command on an installed app shares: its --app and --keychain options, and opening the
// app (its canonical layout, install tag and keychain item) together with its keychain, whose
// structure is checked before the command reads or writes anything.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>

#include "badge/badge_environment.h"
#include "badge/keychain_item.h"
#include "tools/badge_app/app_keychain.h"
#include "tools/badge_app/app_layout.h"
#include "tools/badge_app/command_output.h"

namespace quenlarch::badge_app {

struct AppOptions {
  std::string app;
  std::optional<std::string> keychain;  // none: $QUENLARCH_KEYCHAIN or the per-user file
};

// Adds --app (required) and --keychain to `command`, both checked as paths.
void addAppOptions(CLI::App* command, AppOptions& options);

// The keychain the options name, with its structure checked first (SQLite's quick check). Fails
// when the store is damaged, foreign or unusable.
CommandStep<std::unique_ptr<AppKeychain>> openCheckedKeychain(const AppOptions& options);

struct InstalledApp {
  AppLayout layout;
  HomeScreenBadgeInstallTag tag;
  HomeScreenBadgeKeychainItem item;
  std::unique_ptr<HomeScreenBadgeEnvironment> env;
  std::unique_ptr<AppKeychain> keychain;
};

// Resolves --app and the access group it was installed with, and opens the checked keychain.
CommandStep<InstalledApp> openInstalledApp(const AppOptions& options);

}  // namespace quenlarch::badge_app
