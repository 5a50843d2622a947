// Property-list values, their JSON form and hex: what the payload and record plumbing rests on.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/hex.h"
#include "platform/linux/plist_json.h"
#include "platform/linux/push_content.h"

namespace quenlarch {
namespace {

TEST(PlistJsonTest, JsonPayloadsRoundTripExactly) {
  const char* payloads[] = {
      R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ada",1]},"badge":3,"sound":"x"},"big":18446744073709551615,"neg":-9223372036854775808,"f":1.5,"t":true,"n":[],"o":{},"nothing":null})",
      R"({"z":1,"a":2,"m":{"y":[{"k":"v"}]}})",
      R"({"aps":{}, "ü":"straße"})",
  };
  for (const char* text : payloads) {
    nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(jsonFromPlist(plistFromJson(json)), json) << text;
  }
}

TEST(PlistJsonTest, TypesWithoutJsonFormAreTagged) {
  PlistValue dict;
  dict.set("data", PlistData{{0xde, 0xad}});
  dict.set("date", PlistDate{12.5});
  nlohmann::json json = jsonFromPlist(dict);
  EXPECT_EQ(json["data"], (nlohmann::json{{"$data", "dead"}}));
  EXPECT_EQ(json["date"], (nlohmann::json{{"$date", 12.5}}));

  PlistValue numberKeys(PlistValue::Dictionary{PlistEntry{PlistValue(1), PlistValue("one")}});
  EXPECT_EQ(jsonFromPlist(numberKeys), nlohmann::json::parse(R"({"$dictionary":[[1,"one"]]})"));
}

TEST(PlistValueTest, LookupTypingAndIntegerNormalisation) {
  PlistValue dict;
  dict.set("k", 1);
  dict.set("k", "replaced");
  EXPECT_EQ(dict.asDictionary()->size(), 1u);
  EXPECT_EQ(*dict.find("k")->asString(), "replaced");
  EXPECT_EQ(dict.find("missing"), nullptr);
  EXPECT_EQ(PlistValue("x").find("k"), nullptr);
  EXPECT_TRUE(dict.isDictionaryWithStringKeys());
  EXPECT_FALSE(PlistValue(PlistValue::Array{}).isDictionaryWithStringKeys());
  EXPECT_EQ(PlistValue(std::uint64_t{5}), PlistValue(std::int64_t{5}));
  EXPECT_FALSE(PlistValue(std::uint64_t{1} << 63).asInt64().has_value());
  EXPECT_FALSE(PlistValue(true) == PlistValue(1));
}

TEST(HexTest, EncodesLowercaseAndDecodesStrictly) {
  EXPECT_EQ(hexEncode(ByteString{0x00, 0xAB, 0xff}), "00abff");
  EXPECT_EQ(hexDecode("00ABff"), (ByteString{0x00, 0xAB, 0xff}));
  EXPECT_EQ(hexDecode(""), ByteString{});
  for (const char* bad : {"0", "abc", "zz", "0x12", " 12", "12 "}) {
    EXPECT_FALSE(hexDecode(bad).has_value()) << bad;
  }
}

TEST(PushContentTest, CopiesCarryEveryFieldAndSetBadgeChangesOnlyTheBadge) {
  PlistValue display;
  display.set("title", "Hallo");
  display.set("sound", "ding.caf");
  PushContent original(plistFromJson(nlohmann::json::parse(R"({"aps":{"badge":4}})")), 4, display);
  auto copy = std::dynamic_pointer_cast<MutableNotificationContent>(original.mutableCopy());
  ASSERT_NE(copy, nullptr);
  copy->setBadge(4294967295u);
  EXPECT_EQ(copy->badge(), 4294967295);
  EXPECT_EQ(original.badge(), 4) << "the copy is independent";
  EXPECT_EQ(copy->userInfo(), original.userInfo());
  EXPECT_EQ(static_cast<PushContent&>(*copy).displayFields(), display);
}

}  // namespace
}  // namespace quenlarch
