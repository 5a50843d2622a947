// Keychain store problems in words.
#include "platform/linux/keychain_store_problem.h"

namespace quenlarch {

std::string describeKeychainStoreProblem(KeychainStoreProblem problem) {
  switch (problem) {
    case KeychainStoreProblem::kNone:
      return "the keychain store reported no problem";
    case KeychainStoreProblem::kBusy:
      return "the keychain is busy: other writers held it past the time-out";
    case KeychainStoreProblem::kNoPermission:
      return "no permission to use the keychain file, or to make it owner-only";
    case KeychainStoreProblem::kSymlink:
      return "the keychain path is a symbolic link, which is refused";
    case KeychainStoreProblem::kDamaged:
      return "the keychain is damaged or not a database";
    case KeychainStoreProblem::kUnknownSchema:
      return "the keychain is a database of unknown schema (not a badge keychain)";
    case KeychainStoreProblem::kFull:
      return "the disk holding the keychain is full";
    case KeychainStoreProblem::kUnusable:
      break;
  }
  return "the keychain store is unusable (not a regular file, or an I/O error)";
}

std::string describeKeychainFailure(OSStatus status, KeychainStoreProblem problem) {
  switch (status) {
    case errSecStoreUnavailable:
      return describeKeychainStoreProblem(problem);
    case errSecMissingEntitlement:
      return "not entitled to the keychain access group";
    case errSecParam:
      return "the keychain rejected the query";
    default:
      return "keychain status " + std::to_string(status);
  }
}

}  // namespace quenlarch
