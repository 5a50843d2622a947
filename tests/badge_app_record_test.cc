// badge-app tag/decode/encode as a user runs them: output shapes, exit codes, error lines.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/run_command.h"

namespace quenlarch {
namespace {

using testing::runCommand;

constexpr const char* kApp = "/Applications/App.app";
constexpr const char* kExt = "/Applications/App.app/Contents/PlugIns/Ext.appex";

testing::CommandResult badgeApp(std::vector<std::string> args) {
  args.insert(args.begin(), BADGE_APP_PATH);
  return runCommand(args);
}

TEST(BadgeAppRecordTest, TagPrintsPathTagAndMask) {
  auto r = badgeApp({"tag", kExt});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto json = nlohmann::json::parse(r.out);
  EXPECT_EQ(json,
            (nlohmann::json{
                {"path", kApp}, {"installTag", "097c279ff638d91f"}, {"countMask", "d26a20d3"}}));
}

TEST(BadgeAppRecordTest, EncodeThenDecodeRoundTripsForTheSameInstallation) {
  auto enc = badgeApp({"encode", "--count", "4294967295", "--bundle", kApp});
  ASSERT_EQ(enc.exitCode, 0) << enc.err;
  std::string hex = enc.out.substr(0, enc.out.find('\n'));
  ASSERT_EQ(hex.size(), 32u);

  auto mine = badgeApp({"decode", hex, "--bundle", kExt});
  ASSERT_EQ(mine.exitCode, 0) << mine.err;
  EXPECT_EQ(nlohmann::json::parse(mine.out), (nlohmann::json{{"enabled", true},
                                                             {"count", 4294967295u},
                                                             {"installTag", "097c279ff638d91f"},
                                                             {"ownedByThisInstall", true}}));

  auto unknown = badgeApp({"decode", hex});
  ASSERT_EQ(unknown.exitCode, 0) << unknown.err;
  auto json = nlohmann::json::parse(unknown.out);
  EXPECT_EQ(json["ownedByThisInstall"], false);
  EXPECT_TRUE(json["count"].is_null()) << "without the tag's mask the count is unknown, not shown";
  EXPECT_EQ(json["installTag"], "097c279ff638d91f");
}

TEST(BadgeAppRecordTest, DisabledRecord) {
  auto enc = badgeApp({"encode", "--disabled"});
  ASSERT_EQ(enc.exitCode, 0);
  EXPECT_EQ(enc.out, "54420300000000000000000000000000\n");
  auto dec = badgeApp({"decode", "54420300000000000000000000000000", "--bundle", kApp});
  EXPECT_EQ(nlohmann::json::parse(dec.out)["enabled"], false);
  EXPECT_EQ(nlohmann::json::parse(dec.out)["ownedByThisInstall"], false);
}

TEST(BadgeAppRecordTest, BadInputGetsAClearMessageAndItsExitCode) {
  struct {
    std::vector<std::string> args;
    int exitCode;
    const char* mentions;
  } cases[] = {
      {{"decode", "5442"}, 1, "16 bytes"},
      {{"decode", "54420301000000000000000000000000"}, 1, "zero install tag"},
      {{"decode", "54420901000000001122334455667788"}, 1, "version 9"},
      {{"decode", "xyz"}, 2, "hex"},
      {{"decode", "544"}, 2, "hex"},
      {{"encode", "--count", "4294967296", "--bundle", kApp}, 2, "4294967295"},
      {{"encode", "--count", "-1", "--bundle", kApp}, 2, "whole number"},
      {{"encode", "--count", "7"}, 2, "--bundle"},
      {{"encode", "--disabled", "--count", "1"}, 2, "--disabled"},
      {{"frobnicate"}, 2, ""},
      {{}, 2, ""},
  };
  for (const auto& c : cases) {
    auto r = badgeApp(c.args);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(r.exitCode, c.exitCode) << joined << "\n" << r.err;
    EXPECT_NE(r.err.find(c.mentions), std::string::npos) << joined << "\n" << r.err;
    EXPECT_TRUE(r.out.empty()) << joined;
  }
}

}  // namespace
}  // namespace quenlarch
