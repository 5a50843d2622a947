// badge-app acting on an installed app and the real keychain store, as the containing app would.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>

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
    for (auto& a : c.args) if (a == "APP") a = app_;
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

}  // namespace
}  // namespace quenlarch
