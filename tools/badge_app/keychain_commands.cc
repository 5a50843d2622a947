// The containing app's side of the badge counter.
#include "tools/badge_app/keychain_commands.h"

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "platform/hex.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/sqlite_keychain.h"
#include "tools/badge_app/app_keychain.h"
#include "tools/badge_app/app_layout.h"
#include "tools/badge_app/cli_support.h"

namespace quenlarch::badge_app {
namespace {

struct KeychainOptions {
  std::string app;
  std::string keychainPath;
  std::string team = kDefaultTeamId;
  std::string count;
  std::string setHex;
};

// Everything a command on an installed app needs: where it is, its tag, its item, the keychain.
struct InstalledApp {
  AppLayout layout;
  HomeScreenBadgeInstallTag tag;
  HomeScreenBadgeKeychainItem item;
  std::string keychainPath;
  std::unique_ptr<SqliteKeychain> keychain;
};

std::string keychainPathFor(const KeychainOptions& o) {
  return o.keychainPath.empty() ? defaultKeychainPath() : o.keychainPath;
}

bool isValidTeamId(const std::string& team) {
  if (team.empty() || team.size() > 32) return false;
  for (char c : team) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// Resolves --app and the access group it was installed with; prints why on failure.
std::optional<InstalledApp> openInstalledApp(const KeychainOptions& o, int& failure) {
  std::optional<AppLayout> layout = AppLayout::forApp(o.app);
  if (!layout) {
    failure = fail(kExitUsage, "cannot resolve the app path '" + o.app + "'");
    return std::nullopt;
  }
  std::optional<std::string> group = installedAccessGroup(*layout);
  if (!group) {
    failure = fail(kExitFailed, layout->app + " has no badge service extension with a valid "
                                              "keychain group; run 'badge-app install' first");
    return std::nullopt;
  }
  OpenSslSha256 sha256;
  InstalledApp installed{*layout, makeInstallTag(layout->app, sha256),
                         HomeScreenBadgeKeychainItem{std::string(kBadgeKeychainService),
                                                     std::string(kBadgeKeychainAccount), *group},
                         keychainPathFor(o), nullptr};
  installed.keychain = std::make_unique<SqliteKeychain>(installed.keychainPath, std::nullopt);
  return installed;
}

int keychainFailure(const InstalledApp& app, OSStatus status) {
  return fail(kExitFailed, describeStatus(status) + " (keychain " + app.keychainPath + ")");
}

nlohmann::ordered_json describeRecord(const ByteString& record, const HomeScreenBadgeInstallTag& tag,
                                      const HomeScreenBadgeState& state) {
  return {{"enabled", state.isEnabled},
          {"count", state.count},
          {"installTag", hexEncode(state.installTag.bytes)},
          {"ownedByThisInstall", state.isEnabled && state.installTag == tag},
          {"record", hexEncode(record)}};
}

int runInstall(const KeychainOptions& o) {
  if (!isValidTeamId(o.team)) {
    return fail(kExitUsage, "--team must be 1 to 32 letters or digits, got '" + o.team + "'");
  }
  std::optional<AppLayout> layout = AppLayout::forApp(o.app);
  if (!layout) return fail(kExitUsage, "cannot resolve the app path '" + o.app + "'");
  const std::string group = o.team + "." + std::string(kBadgeKeychainService);
  std::optional<std::string> executable = extensionExecutableToInstall();
  if (std::optional<std::string> error = layOutApp(*layout, group, executable)) {
    return fail(kExitFailed, *error);
  }
  if (!executable) {
    std::cerr << "badge-app: warning: no BadgeService executable found; the extension bundle has "
                 "none (set BADGE_SERVICE_EXECUTABLE)\n";
  }

  int failure = kExitOk;
  std::optional<InstalledApp> installed = openInstalledApp(o, failure);
  if (!installed) return failure;
  HomeScreenBadgeEnvironment env(installed->tag);
  const ByteString record = encodeBadgeRecord({true, 0, installed->tag}, env);
  OSStatus status = installed->keychain->add(newItemAttributes(installed->item, record));
  if (status != errSecSuccess && status != errSecDuplicateItem) {
    return keychainFailure(*installed, status);
  }
  printJson({{"app", installed->layout.app},
             {"extension", installed->layout.extension},
             {"accessGroup", group},
             {"keychain", installed->keychainPath},
             {"item", status == errSecSuccess ? "created" : "existing"}});
  return kExitOk;
}

int runStatus(const KeychainOptions& o) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o, failure);
  if (!app) return failure;
  ReadResult read = readRecord(*app->keychain, app->item);
  if (read.status != errSecSuccess) return keychainFailure(*app, read.status);
  if (!read.record) return fail(kExitFailed, "the badge item holds no record");
  HomeScreenBadgeEnvironment env(app->tag);
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*read.record, app->tag, env);
  if (!state) return fail(kExitFailed, "the badge item holds no valid record: " + hexEncode(*read.record));
  printJson(describeRecord(*read.record, app->tag, *state));
  return kExitOk;
}

// Rewrites the record through `makeRecord` (given the decoded current state, if valid) and prints
// the resulting status.
int rewriteAndReport(const KeychainOptions& o,
                     const std::function<std::optional<ByteString>(
                         const std::optional<HomeScreenBadgeState>&, const HomeScreenBadgeEnvironment&,
                         const HomeScreenBadgeInstallTag&)>& makeRecord) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o, failure);
  if (!app) return failure;
  HomeScreenBadgeEnvironment env(app->tag);
  RewriteResult result = rewriteRecord(*app->keychain, app->item, [&](const ByteString& current) {
    return makeRecord(decodeBadgeRecord(current, app->tag, env), env, app->tag);
  });
  if (result.status != errSecSuccess) return keychainFailure(*app, result.status);
  return runStatus(o);
}

int runEnable(const KeychainOptions& o) {
  return rewriteAndReport(o, [](const auto& state, const auto& env, const auto& tag)
                                 -> std::optional<ByteString> {
    if (state && state->isEnabled && state->installTag == tag) return std::nullopt;  // already on
    return encodeBadgeRecord({true, 0, tag}, env);
  });
}

int runDisable(const KeychainOptions& o) {
  return rewriteAndReport(o, [](const auto&, const auto& env, const auto&) -> std::optional<ByteString> {
    return encodeBadgeRecord({false, 0, zeroInstallTag()}, env);
  });
}

int runSetCount(const KeychainOptions& o) {
  std::optional<std::uint32_t> count = parseCount(o.count);
  if (!count) return fail(kExitUsage, "the count must be a whole number from 0 to 4294967295, got '" + o.count + "'");
  return rewriteAndReport(o, [&](const auto&, const auto& env, const auto& tag) -> std::optional<ByteString> {
    return encodeBadgeRecord({true, *count, tag}, env);
  });
}

int runRecord(const KeychainOptions& o) {
  std::optional<ByteString> replacement;
  if (!o.setHex.empty()) {
    replacement = hexDecode(o.setHex);
    if (!replacement) return fail(kExitUsage, "--set takes hex digits in pairs, got '" + o.setHex + "'");
  }
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o, failure);
  if (!app) return failure;
  if (replacement) {
    RewriteResult result =
        rewriteRecord(*app->keychain, app->item, [&](const ByteString&) { return replacement; });
    if (result.status != errSecSuccess) return keychainFailure(*app, result.status);
  }
  ReadResult read = readRecord(*app->keychain, app->item);
  if (read.status != errSecSuccess) return keychainFailure(*app, read.status);
  printJson({{"record", read.record ? nlohmann::ordered_json(hexEncode(*read.record))
                                    : nlohmann::ordered_json(nullptr)}});
  return kExitOk;
}

int runUninstall(const KeychainOptions& o) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o, failure);
  if (!app) return failure;
  OSStatus status = app->keychain->remove(baseItemQuery(app->item));
  if (status != errSecSuccess && status != errSecItemNotFound) return keychainFailure(*app, status);
  printJson({{"app", app->layout.app}, {"item", status == errSecSuccess ? "deleted" : "absent"}});
  return kExitOk;
}

}  // namespace

void addKeychainCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<KeychainOptions>();
  auto common = [&](CLI::App* command) {
    command->add_option("--app", options->app, "The app bundle")->required();
    command->add_option("--keychain", options->keychainPath,
                        "Keychain database (default: $QUENLARCH_KEYCHAIN or the per-user file)");
    return command;
  };
  auto bind = [&](CLI::App* command, int (*run)(const KeychainOptions&)) {
    command->callback([options, run, &exitCode] { exitCode = run(*options); });
  };

  CLI::App* install = common(app.add_subcommand(
      "install", "Lay out the app and its badge extension, and create the badge item"));
  install->add_option("--team", options->team, "Team identifier prefixing the access group");
  bind(install, runInstall);
  bind(common(app.add_subcommand("status", "Show the stored badge record")), runStatus);
  bind(common(app.add_subcommand("enable", "Switch counting on for this installation")), runEnable);
  bind(common(app.add_subcommand("disable", "Switch counting off")), runDisable);
  CLI::App* setCount = common(app.add_subcommand("set-count", "Set the stored count"));
  setCount->add_option("N", options->count, "The count, 0 to 4294967295")->required();
  bind(setCount, runSetCount);
  CLI::App* record = common(app.add_subcommand("record", "Read or write the raw record (hex)"));
  record->add_option("--set", options->setHex, "New record bytes as hex");
  bind(record, runRecord);
  bind(common(app.add_subcommand("uninstall", "Delete the badge item")), runUninstall);
}

}  // namespace quenlarch::badge_app
