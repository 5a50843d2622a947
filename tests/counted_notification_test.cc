// Classification of push payloads as counted or not.
#include "extension/counted_notification.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/linux/plist_json.h"

namespace quenlarch {
namespace {

TEST(CountedNotificationTest, PayloadShapes) {
  struct {
    const char* payload;
    bool counted;
  } cases[] = {
      {R"({"aps":{"alert":{"loc-key":"Neue Nachricht"}}})", true},
      {R"({"aps":{"alert":{"loc-key":"Verpasster Anruf","loc-args":["Ada"],"title":"x"},"badge":3}})",
       true},
      {R"({"aps":{"alert":"Neue Nachricht"}})", false},
      {R"({"aps":{"alert":{"loc-key":"neue nachricht"}}})", false},
      {R"({"aps":{"alert":{"loc-key":" Neue Nachricht"}}})", false},
      {R"({"aps":{"alert":{"loc-key":"Neue Nachricht "}}})", false},
      {R"({"aps":{"alert":{"loc-key":"Neue Nachricht\u0000"}}})", false},
      {R"({"aps":{"alert":{"loc-key":"Other"}}})", false},
      {R"({"aps":{"alert":{"loc-key":42}}})", false},
      {R"({"aps":{"alert":{"loc-key":["Neue Nachricht"]}}})", false},
      {R"({"aps":{"alert":{}}})", false},
      {R"({"aps":{"content-available":1}})", false},
      {R"({"aps":"Neue Nachricht"})", false},
      {R"({"alert":{"loc-key":"Neue Nachricht"}})", false},
      {R"({})", false},
      {R"([])", false},
  };
  for (const auto& c : cases) {
    PlistValue userInfo = plistFromJson(nlohmann::json::parse(c.payload));
    EXPECT_EQ(isCountedNotification(userInfo), c.counted) << c.payload;
  }
}

TEST(CountedNotificationTest, NonStringKeysMakeADictionaryUnfit) {
  PlistValue alert;
  alert.set("loc-key", "Neue Nachricht");
  PlistValue aps;
  aps.set("alert", alert);
  PlistValue userInfo;
  userInfo.set("aps", aps);
  ASSERT_TRUE(isCountedNotification(userInfo));

  // A number key anywhere on the path to loc-key makes that dictionary unfit.
  PlistValue apsWithNumberKey = aps;
  apsWithNumberKey.asDictionary()->push_back(PlistEntry{PlistValue(7), PlistValue("x")});
  PlistValue withBadAps;
  withBadAps.set("aps", apsWithNumberKey);
  EXPECT_FALSE(isCountedNotification(withBadAps));

  // ...but not at the top level, where only "aps" is looked up.
  PlistValue topWithNumberKey = userInfo;
  topWithNumberKey.asDictionary()->push_back(PlistEntry{PlistValue(1), PlistValue(2)});
  EXPECT_TRUE(isCountedNotification(topWithNumberKey));
}

TEST(CountedNotificationTest, ExactlyTheTwoKeysCount) {
  EXPECT_EQ(countedLocKeys().size(), 2u);
  EXPECT_TRUE(countedLocKeys().contains("Neue Nachricht"));
  EXPECT_TRUE(countedLocKeys().contains("Verpasster Anruf"));
}

}  // namespace
}  // namespace quenlarch
