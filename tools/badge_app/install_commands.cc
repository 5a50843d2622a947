// Installing the app: bundles on disk, the badge item in the keychain and the device token; and
// uninstalling it: the item deleted, the token retired.
#include "tools/badge_app/install_commands.h"

#include <memory>

#include "platform/linux/push_registration.h"
#include "tools/badge_app/app_installation.h"
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
  // The store is checked before anything is laid out: a damaged or foreign keychain gets nothing
  // written.
  CommandStep<std::unique_ptr<AppKeychain>> keychain = openCheckedKeychain(o.app);
  if (!keychain) return report(keychain.error());
  std::optional<std::string> executable = extensionExecutableToInstall();
  CommandStep<Installation> installed =
      installApp(*layout, **keychain, o.team, executable, ExecutablePlacement::kCopy);
  if (!installed) return report(installed.error());
  if (!executable) console().note(kNoExecutableWarning);

  if (int written = emitJson({{"app", layout->app},
                              {"extension", layout->extension},
                              {"accessGroup", installed->accessGroup},
                              {"keychain", (*keychain)->path},
                              {"item", describeItemFound(installed->itemFound)},
                              {"deviceToken", installed->registration.deviceToken}});
      written != kExitOk) {
    return written;
  }
  if (installed->itemFound == BadgeItemFound::kAnotherInstallations) {
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
