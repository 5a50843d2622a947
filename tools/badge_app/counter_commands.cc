// The containing app's side of the counter: reading it, switching it and setting it.
#include "tools/badge_app/counter_commands.h"

#include <memory>

#include "platform/hex.h"
#include "platform/linux/push_registration.h"
#include "tools/badge_app/command_output.h"
#include "tools/badge_app/device_token.h"
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

// What status shows of a record it cannot read as one: its bytes, when there are any.
nlohmann::ordered_json describeUnreadableRecord(const std::optional<ByteString>& record) {
  return {{"enabled", nullptr},
          {"count", nullptr},
          {"installTag", nullptr},
          {"ownedByThisInstall", false},
          {"record", record ? nlohmann::ordered_json(hexEncode(*record)) : nullptr}};
}

// Prints the stored record of an opened app and its device token. A missing item or an invalid
// record still gets its line (the token outlives the item), then fails with the reason.
int showStatus(InstalledApp& app) {
  Expected<std::optional<PushRegistration>> registration = readPushRegistration(app.layout.app);
  if (!registration) return console().fail(kExitFailed, registration.error());
  BadgeRecordRead read = readBadgeRecord(app.item, app.keychain->store);
  if (read.status != errSecSuccess && !read.noItem()) {
    return console().fail(kExitFailed, keychainFailure(*app.keychain, read.status));
  }
  nlohmann::ordered_json json;
  std::optional<std::string> problem;
  if (read.noItem()) {
    json = describeUnreadableRecord(std::nullopt);
    problem = keychainFailure(*app.keychain, read.status);
  } else if (!read.record) {
    json = describeUnreadableRecord(std::nullopt);
    problem = "the badge item holds no record";
  } else if (BadgeRecordDecoding decoded =
                 decodeBadgeRecordWithReason(*read.record, app.tag, *app.env);
             !decoded.state) {
    json = describeUnreadableRecord(read.record);
    problem = "the badge item holds no valid record: " + hexEncode(*read.record) + " (" +
              describeBadgeRecordDefect(decoded.defect, *read.record) + ")";
  } else {
    json = describeRecord(*read.record, decoded, app.tag);
  }
  addDeviceTokenFields(*registration, json);
  if (int written = emitJson(json); written != kExitOk) return written;
  return problem ? console().fail(kExitFailed, *problem) : kExitOk;
}

// Opens the app, applies `write` and shows the resulting status.
template <typename Write>
int writeThenShow(const AppOptions& options, Write write) {
  CommandStep<InstalledApp> app = openInstalledApp(options);
  if (!app) return report(app.error());
  BadgeRecordSwap swap = write(*app);
  if (!swap.succeeded()) return console().fail(kExitFailed, swapFailure(*app->keychain, swap));
  return showStatus(*app);
}

int runStatus(const CounterOptions& o) {
  CommandStep<InstalledApp> app = openInstalledApp(o.app);
  return app ? showStatus(*app) : report(app.error());
}

int runRecord(const CounterOptions& o) {
  CommandStep<InstalledApp> app = openInstalledApp(o.app);
  if (!app) return report(app.error());
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
