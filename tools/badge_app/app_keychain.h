// The containing app's keychain as badge-app opens it: the SQLite store, unrestricted, with the
// real sleeper and random source its retried writes pause with, and the words for what went wrong.
#pragma once

#include <string>

#include "badge/record_swap.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"

namespace quenlarch::badge_app {

struct AppKeychain {
  explicit AppKeychain(std::string databasePath)
      : path(std::move(databasePath)), store(path, std::nullopt) {}
  AppKeychain(const AppKeychain&) = delete;
  AppKeychain& operator=(const AppKeychain&) = delete;

  CounterPlatform platform() { return {store, sleeper, random}; }

  const std::string path;
  SqliteKeychain store;
  SystemSleeper sleeper;
  SystemRandomSource random;
};

// The error line for a keychain call that answered `status`, naming the store's problem when the
// store itself failed, and the keychain's path.
std::string keychainFailure(const AppKeychain& keychain, OSStatus status);
// The error line for a store problem found before anything was done.
std::string storeFailure(const AppKeychain& keychain, KeychainStoreProblem problem);
// The error line for a write that did not succeed: the keychain's failure, or that every try lost
// its race with other writers (the item is there, busy).
std::string swapFailure(const AppKeychain& keychain, const BadgeRecordSwap& swap);

}  // namespace quenlarch::badge_app
