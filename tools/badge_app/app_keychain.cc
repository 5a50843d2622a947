// Messages for keychain failures, one distinct line per kind of problem.
#include "tools/badge_app/app_keychain.h"

namespace quenlarch::badge_app {
namespace {

std::string describeProblem(KeychainStoreProblem problem) {
  switch (problem) {
    case KeychainStoreProblem::kBusy:
      return "the keychain is busy: other writers held it past the time-out";
    case KeychainStoreProblem::kNoPermission:
      return "no permission to use the keychain file, or to make it owner-only";
    case KeychainStoreProblem::kSymlink:
      return "the keychain path is a symbolic link, which is refused";
    case KeychainStoreProblem::kDamaged:
      return "the keychain is damaged or not a database; it was left untouched";
    case KeychainStoreProblem::kUnknownSchema:
      return "the keychain is a database of unknown schema (not a badge keychain); it was left "
             "untouched";
    case KeychainStoreProblem::kFull:
      return "the disk holding the keychain is full";
    case KeychainStoreProblem::kNone:
    case KeychainStoreProblem::kUnusable:
      break;
  }
  return "the keychain store is unusable (not a regular file, or an I/O error)";
}

std::string describeStatus(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "success";
    case errSecItemNotFound:
      return "no badge item in the keychain";
    case errSecDuplicateItem:
      return "the badge item already exists";
    case errSecParam:
      return "the keychain rejected the query";
    case errSecMissingEntitlement:
      return "not entitled to the keychain access group";
    default:
      return "keychain status " + std::to_string(status);
  }
}

}  // namespace

std::string keychainFailure(const AppKeychain& keychain, OSStatus status) {
  if (status == errSecStoreUnavailable) return storeFailure(keychain, keychain.store.lastProblem());
  return describeStatus(status) + " (keychain " + keychain.path + ")";
}

std::string storeFailure(const AppKeychain& keychain, KeychainStoreProblem problem) {
  return describeProblem(problem) + " (keychain " + keychain.path + ")";
}

}  // namespace quenlarch::badge_app
