// The containing app's side of the counter: reading it, switching it and setting it.
#include "tools/badge_app/counter_commands.h"

#include <memory>

#include "platform/hex.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/installed_app.h"
#include "tools/badge_app/option_checks.h"
#include "tools/badge_app/record_writes.h"

namespace quenlarch::badge_app {
namespace {

using tools::kExitFailed;
using tools::kExitOk;

struct CounterOptions {
  AppOptions app;
  std::uint32_t count = 0;
  std::optional<std::string> setHex;
};

// Prints the stored record of an opened app.
int showStatus(InstalledApp& app) {
  BadgeRecordRead read = readBadgeRecord(app.item, app.keychain->store);
  if (read.status != errSecSuccess) {
    return console().fail(kExitFailed, keychainFailure(*app.keychain, read.status));
  }
  if (!read.record) return console().fail(kExitFailed, "the badge item holds no record");
  BadgeRecordDecoding decoded = decodeBadgeRecordWithReason(*read.record, app.tag, *app.env);
  if (!decoded.state) {
    return console().fail(
        kExitFailed, "the badge item holds no valid record: " + hexEncode(*read.record) + " (" +
                         describeBadgeRecordDefect(decoded.defect, *read.record) + ")");
  }
  return emitJson(describeRecord(*read.record, decoded, app.tag));
}

// Opens the app, applies `write` and shows the resulting status.
template <typename Write>
int writeThenShow(const AppOptions& options, Write write) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(options, failure);
  if (!app) return failure;
  BadgeRecordSwap swap = write(*app);
  if (!swap.succeeded()) return console().fail(kExitFailed, swapFailure(*app->keychain, swap));
  return showStatus(*app);
}

int runStatus(const CounterOptions& o) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o.app, failure);
  return app ? showStatus(*app) : failure;
}

int runRecord(const CounterOptions& o) {
  int failure = kExitOk;
  std::optional<InstalledApp> app = openInstalledApp(o.app, failure);
  if (!app) return failure;
  if (o.setHex) {
    BadgeRecordSwap swap =
        replaceRecord(app->keychain->platform(), app->item, *hexDecode(*o.setHex));
    if (!swap.succeeded()) return console().fail(kExitFailed, swapFailure(*app->keychain, swap));
  }
  BadgeRecordRead read = readBadgeRecord(app->item, app->keychain->store);
  if (read.status != errSecSuccess) {
    return console().fail(kExitFailed, keychainFailure(*app->keychain, read.status));
  }
  return emitJson({{"record", read.record ? nlohmann::ordered_json(hexEncode(*read.record))
                                          : nlohmann::ordered_json(nullptr)}});
}

}  // namespace

void addCounterCommands(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<CounterOptions>();
  auto add = [&](const char* name, const char* description, int (*run)(const CounterOptions&)) {
    CLI::App* command = app.add_subcommand(name, description);
    addAppOptions(command, options->app);
    command->callback([options, run, &exitCode] { exitCode = run(*options); });
    return command;
  };

  add("status", "Show the stored badge record", runStatus);
  add("enable", "Switch counting on for this installation", [](const CounterOptions& o) {
    return writeThenShow(o.app, [](InstalledApp& a) {
      return enableCounting(a.keychain->platform(), a.item, a.tag, *a.env);
    });
  });
  add("disable", "Switch counting off", [](const CounterOptions& o) {
    return writeThenShow(o.app, [](InstalledApp& a) {
      return disableCounting(a.keychain->platform(), a.item, *a.env);
    });
  });
  CLI::App* setCount = add("set-count", "Set the stored count", [](const CounterOptions& o) {
    return writeThenShow(o.app, [&](InstalledApp& a) {
      return setStoredCount(a.keychain->platform(), a.item, a.tag, *a.env, o.count);
    });
  });
  wholeCount(setCount->add_option("N", options->count, "The count, 0 to 4294967295")->required());
  CLI::App* record = add("record", "Read or write the raw record (hex)", runRecord);
  record->add_option("--set", options->setHex, "New record bytes as hex")->check(hexBytes());
}

}  // namespace quenlarch::badge_app
