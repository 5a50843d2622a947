// One app's installation: layout, badge item and device token, in the order that writes nothing
// when an existing registration cannot be read.
#include "tools/badge_app/app_installation.h"

#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "platform/linux/openssl_sha256.h"
#include "tools/badge_app/device_token.h"
#include "tools/badge_app/record_writes.h"

namespace quenlarch::badge_app {
namespace {

// Whose record the existing item holds. Any state but another installation's live counter is left
// for status and enable to show and fix.
bool belongsToAnotherInstallation(AppKeychain& keychain, const HomeScreenBadgeKeychainItem& item,
                                  const HomeScreenBadgeInstallTag& tag) {
  BadgeRecordRead read = readBadgeRecord(item, keychain.store);
  if (read.status != errSecSuccess || !read.record) return false;
  HomeScreenBadgeEnvironment env(tag);
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*read.record, tag, env);
  return state && state->isEnabled && !isOwnedByInstallation(*state, tag);
}

}  // namespace

const char* describeItemFound(BadgeItemFound found) {
  switch (found) {
    case BadgeItemFound::kNone:
      return "created";
    case BadgeItemFound::kExisting:
      return "existing";
    case BadgeItemFound::kAnotherInstallations:
      return "another installation's";
  }
  return "existing";
}

CommandStep<Installation> installApp(const AppLayout& layout, AppKeychain& keychain,
                                     const std::string& team,
                                     const std::optional<std::string>& executable,
                                     ExecutablePlacement placement) {
  Expected<std::optional<PushRegistration>> registration = readPushRegistration(layout.app);
  if (!registration) return failure(tools::kExitFailed, registration.error());

  Installation installation;
  installation.accessGroup = team + "." + std::string(kBadgeKeychainService);
  if (Expected<void> laidOut = layOutApp(layout, installation.accessGroup, executable, placement);
      !laidOut) {
    return failure(tools::kExitFailed, laidOut.error());
  }

  OpenSslSha256 sha256;
  const HomeScreenBadgeInstallTag tag = makeInstallTag(layout.app, sha256);
  const HomeScreenBadgeEnvironment env(tag);
  const HomeScreenBadgeKeychainItem item{std::string(kBadgeKeychainService),
                                         std::string(kBadgeKeychainAccount),
                                         installation.accessGroup};
  const OSStatus status =
      keychain.store.add(newItemAttributes(item, encodeBadgeRecord({true, 0, tag}, env)));
  if (status != errSecSuccess && status != errSecDuplicateItem) {
    return failure(tools::kExitFailed, keychainFailure(keychain, status));
  }
  Expected<PushRegistration> next = registrationAfterInstall(*registration, team);
  if (!next) return failure(tools::kExitFailed, next.error());
  if (Expected<void> stored = storeRegistration(layout.app, *registration, *next); !stored) {
    return failure(tools::kExitFailed, stored.error());
  }
  installation.registration = std::move(*next);
  if (status == errSecDuplicateItem) {
    installation.itemFound = belongsToAnotherInstallation(keychain, item, tag)
                                 ? BadgeItemFound::kAnotherInstallations
                                 : BadgeItemFound::kExisting;
  }
  return installation;
}

}  // namespace quenlarch::badge_app
