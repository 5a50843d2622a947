// Opening an installed app and its keychain for a command.
#include "tools/badge_app/installed_app.h"

#include "badge/install_tag.h"
#include "platform/linux/openssl_sha256.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/option_checks.h"

namespace quenlarch::badge_app {

void addAppOptions(CLI::App* command, AppOptions& options) {
  command->add_option("--app", options.app, "The app bundle")->required()->check(utf8Path());
  command
      ->add_option("--keychain", options.keychain,
                   "Keychain database (default: $QUENLARCH_KEYCHAIN or the per-user file)")
      ->check(utf8Path());
}

CommandStep<std::unique_ptr<AppKeychain>> openCheckedKeychain(const AppOptions& options) {
  std::string path;
  if (options.keychain) {
    path = *options.keychain;
  } else {
    Expected<std::string> found = defaultKeychainPath();
    if (!found) return failure(tools::kExitFailed, found.error());
    path = std::move(*found);
  }
  auto keychain = std::make_unique<AppKeychain>(std::move(path));
  if (KeychainStoreProblem problem = keychain->store.checkStore();
      problem != KeychainStoreProblem::kNone) {
    return failure(tools::kExitFailed, storeFailure(*keychain, problem));
  }
  return keychain;
}

CommandStep<InstalledApp> openInstalledApp(const AppOptions& options) {
  std::optional<AppLayout> layout = AppLayout::forApp(options.app);
  if (!layout) {
    return failure(tools::kExitUsage, "cannot resolve the app path '" + options.app + "'");
  }
  std::optional<std::string> group = installedAccessGroup(*layout);
  if (!group) {
    return failure(tools::kExitFailed, layout->app +
                                           " has no badge service extension with a valid "
                                           "keychain group; run 'badge-app install' first");
  }
  CommandStep<std::unique_ptr<AppKeychain>> keychain = openCheckedKeychain(options);
  if (!keychain) return unexpected(keychain.error());
  OpenSslSha256 sha256;
  HomeScreenBadgeInstallTag tag = makeInstallTag(layout->app, sha256);
  auto env = std::make_unique<HomeScreenBadgeEnvironment>(tag);
  return InstalledApp{std::move(*layout), std::move(tag),
                      HomeScreenBadgeKeychainItem{std::string(kBadgeKeychainService),
                                                  std::string(kBadgeKeychainAccount), *group},
                      std::move(env), std::move(*keychain)};
}

}  // namespace quenlarch::badge_app
