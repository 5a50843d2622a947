// Installing the app: bundles on disk, the badge item in the keychain and the device token; and
// uninstalling it: the item deleted, the token retired.
#include "tools/badge_app/install_commands.h"

#include <memory>

#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "platform/hex.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/push_registration.h"
#include "tools/badge_app/bundle_location.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/device_token.h"
#include "tools/badge_app/installed_app.h"
#include "tools/badge_app/option_checks.h"
#include "tools/badge_app/record_writes.h"

namespace quenlarch::badge_app {
namespace {

using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;

struct InstallOptions {
  AppOptions app;
  std::string team = kDefaultTeamId;
};

// Whose record the existing item holds, for install's report. Any state but another
// installation's live counter is left for status and enable to show and fix.
bool belongsToAnotherInstallation(AppKeychain& keychain, const HomeScreenBadgeKeychainItem& item,
                                  const HomeScreenBadgeInstallTag& tag) {
  BadgeRecordRead read = readBadgeRecord(item, keychain.store);
  if (read.status != errSecSuccess || !read.record) return false;
  HomeScreenBadgeEnvironment env(tag);
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*read.record, tag, env);
  return state && state->isEnabled && !isOwnedByInstallation(*state, tag);
}

int runInstall(const InstallOptions& o) {
  std::optional<AppLayout> layout = AppLayout::forApp(o.app.app);
  if (!layout) return console().fail(kExitUsage, "cannot resolve the app path '" + o.app.app + "'");
  if (endsInExtensionBundle(layout->app)) {
    return console().fail(kExitUsage,
                          "the app path " + layout->app +
                              " ends in \".appex\": the install tag "
                              "of such a path strips two components, so its extension could never "
                              "match it; choose an app path ending in \".app\"");
  }
  // The store and an existing registration are checked before anything is laid out: a damaged or
  // foreign keychain, or a damaged registration, gets nothing written.
  CommandStep<std::unique_ptr<AppKeychain>> keychain = openCheckedKeychain(o.app);
  if (!keychain) return report(keychain.error());
  Expected<std::optional<PushRegistration>> registration = readPushRegistration(layout->app);
  if (!registration) return console().fail(kExitFailed, registration.error());

  const std::string group = o.team + "." + std::string(kBadgeKeychainService);
  std::optional<std::string> executable = extensionExecutableToInstall();
  if (Expected<void> laidOut = layOutApp(*layout, group, executable); !laidOut) {
    return console().fail(kExitFailed, laidOut.error());
  }
  if (!executable) {
    console().note(
        "warning: no BadgeService executable found; the extension bundle has none "
        "(set BADGE_SERVICE_EXECUTABLE)");
  }

  OpenSslSha256 sha256;
  const HomeScreenBadgeInstallTag tag = makeInstallTag(layout->app, sha256);
  const HomeScreenBadgeEnvironment env(tag);
  const HomeScreenBadgeKeychainItem item{std::string(kBadgeKeychainService),
                                         std::string(kBadgeKeychainAccount), group};
  AppKeychain& store = **keychain;
  const OSStatus status =
      store.store.add(newItemAttributes(item, encodeBadgeRecord({true, 0, tag}, env)));
  if (status != errSecSuccess && status != errSecDuplicateItem) {
    return console().fail(kExitFailed, keychainFailure(store, status));
  }
  Expected<PushRegistration> next = registrationAfterInstall(*registration, o.team);
  if (!next) return console().fail(kExitFailed, next.error());
  if (Expected<void> stored = storeRegistration(layout->app, *registration, *next); !stored) {
    return console().fail(kExitFailed, stored.error());
  }

  const bool foreign =
      status == errSecDuplicateItem && belongsToAnotherInstallation(store, item, tag);
  const char* itemState = status == errSecSuccess ? "created"
                          : foreign               ? "another installation's"
                                                  : "existing";
  if (int written = emitJson({{"app", layout->app},
                              {"extension", layout->extension},
                              {"accessGroup", group},
                              {"keychain", store.path},
                              {"item", itemState},
                              {"deviceToken", next->deviceToken}});
      written != kExitOk) {
    return written;
  }
  if (foreign) {
    return console().fail(kExitFailed,
                          "the existing badge item belongs to another installation; it was kept, "
                          "and 'badge-app enable --app " +
                              layout->app + "' makes it count for this one");
  }
  return kExitOk;
}

int runUninstall(const AppOptions& o) {
  CommandStep<InstalledApp> app = openInstalledApp(o);
  if (!app) return report(app.error());
  // A damaged registration stops uninstall before anything is changed.
  Expected<std::optional<PushRegistration>> registration = readPushRegistration(app->layout.app);
  if (!registration) return console().fail(kExitFailed, registration.error());
  std::optional<PushRegistration> retired =
      registrationAfterUninstall(*registration, millisecondsSinceEpoch());
  if (retired) {
    if (Expected<void> stored = storeRegistration(app->layout.app, *registration, *retired);
        !stored) {
      return console().fail(kExitFailed, stored.error());
    }
  }
  OSStatus status = app->keychain->store.remove(baseItemQuery(app->item));
  if (status != errSecSuccess && status != errSecItemNotFound) {
    return console().fail(kExitFailed, keychainFailure(*app->keychain, status));
  }
  nlohmann::ordered_json json{{"app", app->layout.app},
                              {"item", status == errSecSuccess ? "deleted" : "absent"}};
  addDeviceTokenFields(retired, json);
  return emitJson(json);
}

}  // namespace

void addInstallCommands(CLI::App& app, int& exitCode) {
  auto install = std::make_shared<InstallOptions>();
  CLI::App* installCommand = app.add_subcommand(
      "install",
      "Lay out the app and its badge extension, create the badge item and give the installation "
      "a device token");
  addAppOptions(installCommand, install->app);
  installCommand->add_option("--team", install->team, "Team identifier prefixing the access group")
      ->check(teamIdentifier());
  installCommand->callback([install, &exitCode] { exitCode = runInstall(*install); });

  auto uninstall = std::make_shared<AppOptions>();
  CLI::App* uninstallCommand =
      app.add_subcommand("uninstall", "Delete the badge item and retire the device token");
  addAppOptions(uninstallCommand, *uninstall);
  uninstallCommand->callback([uninstall, &exitCode] { exitCode = runUninstall(*uninstall); });
}

}  // namespace quenlarch::badge_app
