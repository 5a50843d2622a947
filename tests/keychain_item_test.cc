// Locating the badge item from the bundle, the query that selects it, and reading its record.
#include <gtest/gtest.h>

#include "tests/support/badge_fixture.h"

namespace quenlarch {
namespace {

using testing::BadgeFixture;
using testing::FakeBundle;

TEST(KeychainItemTest, AccessGroupValidation) {
  struct {
    const char* why;
    PlistValue value;
    std::optional<std::string> group;
  } cases[] = {
      {"team prefix", PlistValue("ABCDE12345.com.quenlarch.app.badge"),
       "ABCDE12345.com.quenlarch.app.badge"},
      {"one-character prefix", PlistValue("X.com.quenlarch.app.badge"),
       "X.com.quenlarch.app.badge"},
      {"nothing before the dot", PlistValue(".com.quenlarch.app.badge"), std::nullopt},
      {"service name alone", PlistValue("com.quenlarch.app.badge"), std::nullopt},
      {"unexpanded variable", PlistValue("$(X).com.quenlarch.app.badge"), std::nullopt},
      {"variable in the middle", PlistValue("AB$(C)D.com.quenlarch.app.badge"), std::nullopt},
      {"other service", PlistValue("ABCDE12345.com.quenlarch.app.other"), std::nullopt},
      {"service plus more", PlistValue("ABCDE12345.com.quenlarch.app.badge.x"), std::nullopt},
      {"no dot before service", PlistValue("ABCDE12345com.quenlarch.app.badge"), std::nullopt},
      {"number", PlistValue(12345), std::nullopt},
      {"array", PlistValue(PlistValue::Array{PlistValue("X.com.quenlarch.app.badge")}),
       std::nullopt},
      {"empty string", PlistValue(""), std::nullopt},
  };
  for (const auto& c : cases) {
    FakeBundle bundle("/A.app", BadgeFixture::infoWithGroup(c.value));
    EXPECT_EQ(keychainAccessGroup(bundle), c.group) << c.why;
    EXPECT_EQ(badgeKeychainItem(bundle).has_value(), c.group.has_value()) << c.why;
  }
  EXPECT_FALSE(keychainAccessGroup(FakeBundle("/A.app")).has_value()) << "key absent";
}

TEST(KeychainItemTest, BaseQuerySelectsTheCounterItem) {
  BadgeFixture f;
  KeychainQuery query = baseItemQuery(f.item());
  EXPECT_EQ(query, (KeychainQuery{{kSecClass, PlistValue(kSecClassGenericPassword)},
                                  {kSecAttrService, PlistValue("com.quenlarch.app.badge")},
                                  {kSecAttrAccount, PlistValue("counter")},
                                  {kSecAttrSynchronizable, PlistValue(false)},
                                  {kSecAttrAccessGroup, PlistValue(testing::kTestAccessGroup)}}));
  HomeScreenBadgeKeychainItem noGroup{"s", "a", std::nullopt};
  EXPECT_EQ(baseItemQuery(noGroup).count(kSecAttrAccessGroup), 0u);
}

TEST(KeychainItemTest, ReadsTheGenericAttributeOrNothing) {
  BadgeFixture f;
  EXPECT_FALSE(readBadgeRecordData(f.item(), *f.keychain).has_value()) << "no item";

  ByteString record = f.enabledRecord(3);
  f.storeRecord(record);
  EXPECT_EQ(readBadgeRecordData(f.item(), *f.keychain), record);

  f.keychain->failNextReads(1, errSecMissingEntitlement);
  EXPECT_FALSE(readBadgeRecordData(f.item(), *f.keychain).has_value()) << "keychain refused";

  // An item without a generic attribute, or with one that is not bytes.
  testing::FakeKeychain bare;
  KeychainQuery attributes = testing::badgeItemAttributes(testing::kTestAccessGroup, {});
  attributes.erase(kSecAttrGeneric);
  bare.add(attributes);
  EXPECT_FALSE(readBadgeRecordData(f.item(), bare).has_value());
  testing::FakeKeychain wrongType;
  attributes[kSecAttrGeneric] = PlistValue("not bytes");
  wrongType.add(attributes);
  EXPECT_FALSE(readBadgeRecordData(f.item(), wrongType).has_value());
}

}  // namespace
}  // namespace quenlarch
