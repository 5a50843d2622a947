// The push registration file as both of its readers meet it: which damaged or malformed files are
// refused with a reason instead of being taken for a registration, or for none. (badge-app's tests
// follow a token from install to uninstall.)
#include "platform/linux/push_registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

const std::string kToken(64, 'a');

std::string plistWith(const std::string& entries) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
         "</dict></plist>\n";
}

class PushRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(app_ + "/Contents"); }
  void writeRaw(const std::string& bytes) {
    std::ofstream(pushRegistrationPath(app_), std::ios::binary) << bytes;
  }

  testing::TempDir dir_{"push-registration"};
  std::string app_ = dir_ / "My.app";
};

TEST_F(PushRegistrationTest, RoundTripsAndNoFileIsNoRegistration) {
  EXPECT_EQ(readPushRegistration(app_).value(), std::nullopt);
  const PushRegistration retired{*newDeviceToken(), "TEAM123", 1767225600123};
  ASSERT_TRUE(writePushRegistration(app_, retired));
  EXPECT_EQ(readPushRegistration(app_).value(), retired);
  EXPECT_FALSE(writePushRegistration(app_, {std::string(64, 'F'), "TEAM", std::nullopt}))
      << "a malformed registration is never written";
  EXPECT_EQ(readPushRegistration(app_).value(), retired);
}

TEST_F(PushRegistrationTest, DamagedFilesAreRefusedWithTheirReason) {
  const std::string team = "<key>TeamIdentifier</key><string>TEAM123</string>";
  const std::string token = "<key>DeviceToken</key><string>" + kToken + "</string>";
  const struct {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"empty file", "", "not a property list"},
      {"array root", "<plist version=\"1.0\"><array/></plist>", "not a dictionary"},
      {"no token", plistWith(team), "no DeviceToken string"},
      {"token as data", plistWith("<key>DeviceToken</key><data>AAAA</data>" + team),
       "no DeviceToken string"},
      {"uppercase token",
       plistWith("<key>DeviceToken</key><string>" + std::string(64, 'A') + "</string>" + team),
       "DeviceToken is not 64 lowercase hex digits"},
      {"no team", plistWith(token), "no TeamIdentifier string"},
      {"team with a dot", plistWith(token + "<key>TeamIdentifier</key><string>a.b</string>"),
       "TeamIdentifier is not 1 to 32 letters or digits"},
      {"retired as a string", plistWith(token + team + "<key>RetiredAt</key><string>1</string>"),
       "RetiredAt is not an integer of milliseconds"},
      {"retired before 1970", plistWith(token + team + "<key>RetiredAt</key><integer>-1</integer>"),
       "RetiredAt is before 1970"},
  };
  for (const auto& c : cases) {
    writeRaw(c.bytes);
    Expected<std::optional<PushRegistration>> read = readPushRegistration(app_);
    ASSERT_FALSE(read) << c.name;
    EXPECT_EQ(read.error(), pushRegistrationPath(app_) + ": " + c.reason) << c.name;
  }
  std::filesystem::remove(pushRegistrationPath(app_));
  std::filesystem::create_directory(pushRegistrationPath(app_));
  EXPECT_FALSE(readPushRegistration(app_)) << "a folder in its place is not 'no registration'";
}

}  // namespace
}  // namespace quenlarch
