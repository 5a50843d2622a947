// badge-app acting on an installed app and the real keychain store, as the containing app would.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/linux/fleet_manifest.h"
#include "platform/linux/push_registration.h"
#include "platform/linux/sqlite_keychain.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;

class BadgeAppKeychainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    app_ = temp_ / "My.app";
  }

  CommandResult run(std::vector<std::string> args) {
    args.insert(args.begin(), BADGE_APP_PATH);
    return testing::runCommand(args, "",
                               {"QUENLARCH_KEYCHAIN=" + dir_ + "/keychain.sqlite",
                                "BADGE_SERVICE_EXECUTABLE=" + std::string(BADGE_SERVICE_PATH)});
  }
  nlohmann::json ok(std::vector<std::string> args) {
    CommandResult r = run(args);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    return nlohmann::json::parse(r.out, nullptr, false);
  }

  std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Everything under the temporary folder, to show that a refused command wrote nothing.
  std::vector<std::string> tree() {
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
      entries.push_back(entry.path().string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
  }
  static void expectOneLine(const CommandResult& r, const std::string& what) {
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
  }

  testing::TempDir temp_{"badge-app"};
  std::string dir_;
  std::string app_;
};

TEST_F(BadgeAppKeychainTest, InstallLaysOutTheBundleAndIsIdempotent) {
  auto first = ok({"install", "--app", app_, "--team", "TEAM123"});
  EXPECT_EQ(first["item"], "created");
  EXPECT_EQ(first["accessGroup"], "TEAM123.com.quenlarch.app.badge");
  const fs::path ext = fs::path(app_) / "Contents/PlugIns/BadgeService.appex/Contents";
  for (const char* file : {"Info.plist", "Entitlements.plist", "MacOS/BadgeService"}) {
    EXPECT_TRUE(fs::exists(ext / file)) << file;
  }
  auto before = fs::last_write_time(ext / "Info.plist");
  ok({"set-count", "--app", app_, "7"});

  auto second = ok({"install", "--app", app_, "--team", "TEAM123"});
  EXPECT_EQ(second["item"], "existing");
  EXPECT_EQ(fs::last_write_time(ext / "Info.plist"), before) << "unchanged files are not rewritten";
  EXPECT_EQ(ok({"status", "--app", app_})["count"], 7) << "a second install keeps the count";
}

TEST_F(BadgeAppKeychainTest, StatusEnableDisableAndSetCount) {
  ok({"install", "--app", app_});
  auto status = ok({"status", "--app", app_});
  EXPECT_EQ(status["enabled"], true);
  EXPECT_EQ(status["count"], 0);
  EXPECT_EQ(status["ownedByThisInstall"], true);
  EXPECT_EQ(status["record"].get<std::string>().size(), 32u);

  auto set = ok({"set-count", "--app", app_, "4294967295"});
  EXPECT_EQ(set["count"], 4294967295u);

  auto disabled = ok({"disable", "--app", app_});
  EXPECT_EQ(disabled["enabled"], false);
  EXPECT_EQ(disabled["record"], "54420300000000000000000000000000");
  EXPECT_EQ(disabled["ownedByThisInstall"], false);

  auto enabled = ok({"enable", "--app", app_});
  EXPECT_EQ(enabled["enabled"], true);
  EXPECT_EQ(enabled["count"], 0);
  ok({"set-count", "--app", app_, "3"});
  EXPECT_EQ(ok({"enable", "--app", app_})["count"], 3) << "enabling an enabled counter keeps it";
}

TEST_F(BadgeAppKeychainTest, RawRecordAndUninstall) {
  ok({"install", "--app", app_});
  EXPECT_EQ(ok({"record", "--app", app_, "--set", "00ff"})["record"], "00ff");
  CommandResult status = run({"status", "--app", app_});
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_NE(status.err.find("no valid record"), std::string::npos) << status.err;

  EXPECT_EQ(ok({"uninstall", "--app", app_})["item"], "deleted");
  EXPECT_EQ(ok({"uninstall", "--app", app_})["item"], "absent");
  status = run({"status", "--app", app_});
  EXPECT_EQ(status.exitCode, 1);
  EXPECT_NE(status.err.find("no badge item"), std::string::npos) << status.err;
}

TEST_F(BadgeAppKeychainTest, ProblemsGetOneLineAndANonZeroExit) {
  struct {
    std::vector<std::string> args;
    int exitCode;
    const char* mentions;
  } cases[] = {
      {{"status", "--app", "/nonexistent/App.app"}, 1, "badge-app install"},
      {{"install", "--app", "APP", "--team", "a.b"}, 2, "--team"},
      {{"install", "--app", "APP", "--team", "$(TEAM)"}, 2, "--team"},
      {{"set-count", "--app", "APP", "x"}, 2, "whole number"},
      {{"record", "--app", "APP", "--set", "abc"}, 2, "hex"},
      {{"status"}, 2, "--app"},
  };
  for (auto& c : cases) {
    for (auto& a : c.args)
      if (a == "APP") a = app_;
    CommandResult r = run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << ": " << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << r.err;
  }

  // A keychain path that cannot be a database: the store is unusable, said in one line.
  ok({"install", "--app", app_});
  CommandResult r = run({"status", "--app", app_, "--keychain", dir_});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("unusable"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

// Arguments that could only be answered by an abort half-way, a wrong tag or a write where none
// belongs are refused while parsing: exit 2, one line, and nothing on disk changes.
TEST_F(BadgeAppKeychainTest, BadArgumentsAreRefusedBeforeAnythingIsWritten) {
  ok({"install", "--app", app_});
  const std::string bad = dir_ + "/bad\xff.app";
  struct {
    std::vector<std::string> args;
    const char* mentions;
  } cases[] = {
      {{"install", "--app", bad}, "UTF-8"},
      {{"uninstall", "--app", bad}, "UTF-8"},
      {{"tag", bad}, "UTF-8"},
      {{"decode", "54420300000000000000000000000000", "--bundle", bad}, "UTF-8"},
      {{"encode", "--count", "1", "--bundle", bad}, "UTF-8"},
      {{"status", "--app", "APP", "--keychain", dir_ + "/kc\xfe.sqlite"}, "UTF-8"},
      {{"install", "--app", dir_ + "/new.app", "--keychain", ""}, "empty"},
      {{"status", "--app", "APP", "--keychain", ""}, "empty"},
      {{"install", "--app", dir_ + "/Ext.appex"}, ".appex"},
      {{"install", "--app", dir_ + "/new.app", "--team", "a b"}, "--team"},
      {{"set-count", "--app", "APP", "4294967296"}, "4294967295"},
      {{"set-count", "--app", "APP", "-1"}, "whole number"},
      {{"record", "--app", "APP", "--set", "5"}, "hex"},
      {{"fleet", "create", "--dir", dir_ + "/fleet", "--devices", "0"}, "1 to 100000"},
      {{"fleet", "create", "--dir", dir_ + "/fleet", "--devices", "100001"}, "1 to 100000"},
      {{"fleet", "create", "--dir", dir_ + "/fleet", "--devices", "2", "--team", "a.b"}, "--team"},
      {{"fleet", "create", "--dir", dir_, "--devices", "2"}, "is not empty"},
      {{"fleet", "create", "--dir", dir_ + "/keychain.sqlite", "--devices", "2"}, "not a folder"},
  };
  const std::vector<std::string> before = tree();
  const std::string store = contents(dir_ + "/keychain.sqlite");
  for (auto& c : cases) {
    for (auto& a : c.args)
      if (a == "APP") a = app_;
    CommandResult r = run(c.args);
    const std::string what = c.args[0] + " " + c.args[1];
    EXPECT_EQ(r.exitCode, 2) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << what << ": " << r.err;
    expectOneLine(r, what);
    EXPECT_EQ(r.out, "") << what;
  }
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(contents(dir_ + "/keychain.sqlite"), store);
}

// Every command checks the store first; a damaged, foreign or linked keychain is named for what it
// is (exit 1, one line) and left byte for byte as it was, and no app is laid out.
TEST_F(BadgeAppKeychainTest, DamagedStoresAreNamedAndLeftUntouched) {
  ok({"install", "--app", app_});
  const std::string good = dir_ + "/good.sqlite";
  {
    SqliteKeychain store(good, std::nullopt);
    for (int i = 0; i < 40; ++i) {  // enough pages to cut one in half
      KeychainQuery item{{kSecClass, PlistValue(kSecClassGenericPassword)},
                         {kSecAttrAccount, PlistValue("item" + std::to_string(i))},
                         {kSecAttrAccessGroup, PlistValue("QLBADGE001.com.quenlarch.app.badge")},
                         {kSecValueData, PlistValue(PlistData{ByteString(200, 7)})}};
      ASSERT_EQ(store.add(item), errSecSuccess);
    }
  }  // closing the last connection moves the log into the file
  auto sql = [](const std::string& path, const char* script) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, script, nullptr, nullptr, nullptr), SQLITE_OK) << script;
    sqlite3_close(db);
  };
  struct {
    const char* what;
    std::function<void(const std::string&)> make;
    const char* mentions;
  } cases[] = {
      {"truncated mid-page",
       [&](const std::string& p) {
         ASSERT_GT(contents(good).size(), 6000u);
         std::ofstream(p, std::ios::binary) << contents(good).substr(0, 6000);
       },
       "damaged"},
      {"not a database", [](const std::string& p) { std::ofstream(p) << std::string(5000, 'x'); },
       "damaged"},
      {"a view named genp",
       [&](const std::string& p) {
         sql(p, "CREATE TABLE t(a); CREATE VIEW genp AS SELECT a FROM t;");
       },
       "unknown schema"},
      {"genp without its key",
       [&](const std::string& p) {
         sql(p,
             "CREATE TABLE genp(svce TEXT NOT NULL, acct TEXT NOT NULL, agrp TEXT NOT NULL,"
             "sync INTEGER NOT NULL, gena BLOB, data BLOB NOT NULL)");
       },
       "unknown schema"},
      {"another program's database",
       [&](const std::string& p) { sql(p, "CREATE TABLE people(name TEXT)"); }, "unknown schema"},
      {"a symbolic link to a keychain", [&](const std::string& p) { fs::create_symlink(good, p); },
       "symbolic link"},
  };
  auto mode = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = dir_ + "/damaged" + std::to_string(n++) + ".sqlite";
    c.make(path);
    if (!fs::is_symlink(path)) ::chmod(path.c_str(), 0644);
    const std::string bytes = contents(path);
    const mode_t modeBefore = mode(path);
    const std::vector<std::string> before = tree();
    for (std::vector<std::string> args : {std::vector<std::string>{"status", "--app", app_},
                                          {"install", "--app", dir_ + "/Second.app"},
                                          {"set-count", "--app", app_, "3"},
                                          {"record", "--app", app_},
                                          {"uninstall", "--app", app_}}) {
      args.push_back("--keychain");
      args.push_back(path);
      CommandResult r = run(args);
      EXPECT_EQ(r.exitCode, 1) << c.what << ", " << args[0] << ": " << r.err;
      EXPECT_NE(r.err.find(c.mentions), std::string::npos)
          << c.what << ", " << args[0] << ": " << r.err;
      expectOneLine(r, c.what);
    }
    EXPECT_EQ(contents(path), bytes) << c.what;
    EXPECT_EQ(mode(path), modeBefore) << c.what << ": its mode was changed";
    EXPECT_EQ(tree(), before) << c.what << ": something was written";
  }
}

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The device token from install to uninstall and back, as the file holds it and status shows it.
TEST_F(BadgeAppKeychainTest, DeviceTokenIsKeptRetiredAndRenewed) {
  enum class Token { kNew, kSame };
  const struct {
    std::vector<std::string> args;
    Token token;
    bool retired;
    const char* team;
  } steps[] = {
      {{"install", "--team", "TEAM123"}, Token::kNew, false, "TEAM123"},
      {{"install", "--team", "TEAM123"}, Token::kSame, false, "TEAM123"},
      {{"install", "--team", "OTHER9"}, Token::kSame, false, "OTHER9"},
      {{"uninstall"}, Token::kSame, true, "OTHER9"},
      {{"uninstall"}, Token::kSame, true, "OTHER9"},  // the first retirement stands
      {{"install"}, Token::kNew, false, "QLBADGE001"},
  };
  std::optional<PushRegistration> previous;
  for (const auto& step : steps) {
    std::vector<std::string> args = step.args;
    args.insert(args.begin() + 1, {"--app", app_});
    const std::int64_t before = nowMs();
    CommandResult r = run(args);
    const std::int64_t after = nowMs();
    const std::string what = args[0] + " " + step.team;
    ASSERT_EQ(r.exitCode, 0) << what << ": " << r.err;
    Expected<std::optional<PushRegistration>> read = readPushRegistration(app_);
    ASSERT_TRUE(read && read->has_value()) << what;
    const PushRegistration& now = **read;
    EXPECT_EQ(now.teamIdentifier, step.team) << what;
    if (previous) {
      EXPECT_EQ(now.deviceToken == previous->deviceToken, step.token == Token::kSame) << what;
    }
    EXPECT_EQ(now.isRetired(), step.retired) << what;
    if (step.retired && previous && previous->isRetired()) {
      EXPECT_EQ(now.retiredAt, previous->retiredAt) << what;
    } else if (step.retired) {
      EXPECT_GE(*now.retiredAt, before) << what;
      EXPECT_LE(*now.retiredAt, after) << what;
    }
    // What status shows; after uninstall it still gets its line, and fails for the missing item.
    CommandResult status = run({"status", "--app", app_});
    EXPECT_EQ(status.exitCode, step.retired ? 1 : 0) << what << ": " << status.err;
    nlohmann::json shown = nlohmann::json::parse(status.out, nullptr, false);
    if (step.retired) {
      EXPECT_TRUE(shown["deviceToken"].is_null()) << what << ": " << status.out;
      EXPECT_EQ(shown["deviceTokenRetiredAt"], *now.retiredAt) << what;
      EXPECT_NE(status.err.find("no badge item"), std::string::npos) << status.err;
    } else {
      EXPECT_EQ(shown["deviceToken"], now.deviceToken) << what;
      EXPECT_FALSE(shown.contains("deviceTokenRetiredAt")) << what;
      EXPECT_EQ(nlohmann::json::parse(r.out)["deviceToken"], now.deviceToken) << what;
    }
    struct stat info {};
    ASSERT_EQ(::stat(pushRegistrationPath(app_).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u) << what;
    previous = now;
  }
}

// A registration file that cannot be read is named, and neither it nor anything else is written.
TEST_F(BadgeAppKeychainTest, DamagedRegistrationIsNamedAndLeftAlone) {
  ok({"install", "--app", app_});
  std::ofstream(pushRegistrationPath(app_), std::ios::trunc) << "garbage";
  const std::vector<std::string> before = tree();
  const std::string store = contents(dir_ + "/keychain.sqlite");
  for (const char* command : {"install", "uninstall", "status"}) {
    CommandResult r = run({command, "--app", app_});
    EXPECT_EQ(r.exitCode, 1) << command << ": " << r.err;
    EXPECT_NE(r.err.find("PushRegistration.plist: not a property list"), std::string::npos)
        << command << ": " << r.err;
    expectOneLine(r, command);
    EXPECT_EQ(r.out, "") << command;
  }
  EXPECT_EQ(contents(pushRegistrationPath(app_)), "garbage");
  EXPECT_EQ(tree(), before);
  EXPECT_EQ(contents(dir_ + "/keychain.sqlite"), store) << "the item was touched";
}

// Each device of a fleet is an installation of its own that status reads as any other, and the
// manifest lists exactly what was printed.
TEST_F(BadgeAppKeychainTest, FleetDevicesAreDistinctInstallationsListedInTheManifest) {
  const std::string fleet = dir_ + "/fleet";
  CommandResult r = run({"fleet", "create", "--dir", fleet, "--devices", "3", "--team", "TEAM7"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  Expected<std::vector<FleetDevice>> devices = readFleetManifest(fleet);
  ASSERT_TRUE(devices) << devices.error();
  ASSERT_EQ(devices->size(), 3u);
  std::string listed;
  std::set<std::string> tags;
  for (const FleetDevice& device : *devices) {
    listed += fleetManifestLine(device) + "\n";
    EXPECT_EQ(device.team, "TEAM7");
    auto status = ok({"status", "--app", device.app, "--keychain", device.keychain});
    EXPECT_EQ(status["ownedByThisInstall"], true) << device.app;
    EXPECT_EQ(status["count"], 0) << device.app;
    EXPECT_EQ(status["deviceToken"], device.deviceToken) << device.app;
    tags.insert(status["installTag"].get<std::string>());
  }
  EXPECT_EQ(r.out, listed);
  EXPECT_EQ(tags.size(), 3u) << "each device has its own install tag";

  CommandResult again = run({"fleet", "create", "--dir", fleet, "--devices", "1"});
  EXPECT_EQ(again.exitCode, 2);
  EXPECT_NE(again.err.find("holds a fleet already"), std::string::npos) << again.err;
  EXPECT_EQ(readFleetManifest(fleet).value(), *devices);
}

// A creation that stops says how many devices it made, and the manifest lists just those.
TEST_F(BadgeAppKeychainTest, FleetCreationThatFailsSaysWhatItMade) {
  const std::string fleet = dir_ + "/fleet";
  CommandResult r =
      testing::runCommand({BADGE_APP_PATH, "fleet", "create", "--dir", fleet, "--devices", "3"}, "",
                          {"BADGE_SERVICE_EXECUTABLE=" + dir_ + "/missing"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("cannot read the extension executable"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("; 0 of 3 devices were made and " + fleet + "/fleet.jsonl lists them\n"),
            std::string::npos)
      << r.err;
  expectOneLine(r, "fleet create");
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(readFleetManifest(fleet).value().empty());
}

TEST_F(BadgeAppKeychainTest, ReadOnlyCommandsCreateNoFoldersAndNoDatabase) {
  ok({"install", "--app", app_});
  const std::string nested = dir_ + "/new/a/b/kc.sqlite";
  for (const char* command : {"status", "record"}) {
    CommandResult r = run({command, "--app", app_, "--keychain", nested});
    EXPECT_EQ(r.exitCode, 1) << command;
    EXPECT_NE(r.err.find("the keychain " + nested + " does not exist"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_ + "/new"));
}

TEST_F(BadgeAppKeychainTest, AnotherInstallationsRecordIsShownAsSuch) {
  ok({"install", "--app", app_});
  CommandResult encoded = run({"encode", "--count", "5", "--bundle", dir_ + "/Other.app"});
  ASSERT_EQ(encoded.exitCode, 0);
  ok({"record", "--app", app_, "--set", encoded.out.substr(0, 32)});

  auto status = ok({"status", "--app", app_});
  EXPECT_TRUE(status["count"].is_null()) << status;
  EXPECT_EQ(status["ownedByThisInstall"], false);

  CommandResult again = run({"install", "--app", app_});
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_NE(again.err.find("belongs to another installation"), std::string::npos) << again.err;
  expectOneLine(again, "install");
  EXPECT_EQ(nlohmann::json::parse(again.out)["item"], "another installation's");
}

// The extension resolves links to find its bundle; every command hashing a path does the same.
TEST_F(BadgeAppKeychainTest, OneInstallTagThroughSymbolicLinks) {
  ok({"install", "--app", app_});
  const std::string link = dir_ + "/Link.app";
  fs::create_symlink(app_, link);
  EXPECT_EQ(ok({"tag", link}), ok({"tag", app_}));
  CommandResult encoded = run({"encode", "--count", "3", "--bundle", link});
  ASSERT_EQ(encoded.exitCode, 0);
  ok({"record", "--app", link, "--set", encoded.out.substr(0, 32)});
  auto status = ok({"status", "--app", app_});
  EXPECT_EQ(status["ownedByThisInstall"], true);
  EXPECT_EQ(status["count"], 3);
  auto decoded = ok({"decode", encoded.out.substr(0, 32), "--bundle", link});
  EXPECT_EQ(decoded["ownedByThisInstall"], true);
}

TEST_F(BadgeAppKeychainTest, LostOutputIsAFailure) {
  ok({"install", "--app", app_});
  for (const char* command : {"status --app \"$1\"", "tag \"$1\"", "encode --disabled"}) {
    // $0 is badge-app, $1 the app; stdout goes to a device that is always full.
    CommandResult r = testing::runCommand(
        {"/bin/sh", "-c", std::string("exec \"$0\" ") + command + " > /dev/full", BADGE_APP_PATH,
         app_},
        "", {"QUENLARCH_KEYCHAIN=" + dir_ + "/keychain.sqlite"});
    EXPECT_EQ(r.exitCode, 1) << command << ": " << r.err;
    EXPECT_NE(r.err.find("output was lost"), std::string::npos) << r.err;
    expectOneLine(r, command);
  }
}

}  // namespace
}  // namespace quenlarch
