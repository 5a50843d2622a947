// Messages for keychain failures, one distinct line per kind of problem.
#include "tools/badge_app/app_keychain.h"

#include <sys/stat.h>

#include <cerrno>

namespace quenlarch::badge_app {
namespace {

// A damaged or foreign file is named as such, and left exactly as it was (its mode included).
std::string describeProblem(KeychainStoreProblem problem) {
  const bool leftUntouched =
      problem == KeychainStoreProblem::kDamaged || problem == KeychainStoreProblem::kUnknownSchema;
  return describeKeychainStoreProblem(problem) + (leftUntouched ? "; it was left untouched" : "");
}

// What the badge item's absence or duplication means to the app; the rest as any keychain user
// would read it.
std::string describeStatus(OSStatus status) {
  switch (status) {
    case errSecItemNotFound:
      return "no badge item in the keychain";
    case errSecDuplicateItem:
      return "the badge item already exists";
    default:
      return describeKeychainFailure(status, KeychainStoreProblem::kNone);
  }
}

}  // namespace

std::string keychainFailure(const AppKeychain& keychain, OSStatus status) {
  if (status == errSecStoreUnavailable) return storeFailure(keychain, keychain.store.lastProblem());
  // Read-only commands never create the file, so its absence reads as no item; it is not.
  struct stat info {};
  if (status == errSecItemNotFound && ::lstat(keychain.path.c_str(), &info) != 0 &&
      errno == ENOENT) {
    return "the keychain " + keychain.path + " does not exist (badge-app install creates it)";
  }
  return describeStatus(status) + " (keychain " + keychain.path + ")";
}

std::string storeFailure(const AppKeychain& keychain, KeychainStoreProblem problem) {
  return describeProblem(problem) + " (keychain " + keychain.path + ")";
}

std::string swapFailure(const AppKeychain& keychain, const BadgeRecordSwap& swap) {
  if (swap.end == SwapEnd::kLostEveryRace) {
    return "the badge item is busy with other writers: every one of " +
           std::to_string(kIncrementAttempts) +
           " tries lost the race; nothing was written (keychain " + keychain.path + ")";
  }
  return keychainFailure(keychain, swap.status);
}

}  // namespace quenlarch::badge_app
