// The containing app's record writes against the fake keychain: they share the extension's
// compare-and-swap, so a lost race is retried with the injected sleeper and random source, and a
// write never clobbers an increment that landed in between.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/badge_fixture.h"
#include "tools/badge_app/app_keychain.h"
#include "tools/badge_app/record_writes.h"

namespace quenlarch {
namespace {

using testing::BadgeFixture;

struct AppWrite {
  const char* name;
  std::function<BadgeRecordSwap(BadgeFixture&)> write;
  std::function<ByteString(BadgeFixture&)> expected;  // the record written from count 5
};

std::vector<AppWrite> appWrites() {
  return {
      {"set-count",
       [](BadgeFixture& f) {
         return badge_app::setStoredCount(f.platform(), f.item(), f.tag(), f.env, 9);
       },
       [](BadgeFixture& f) { return f.enabledRecord(9); }},
      {"disable",
       [](BadgeFixture& f) { return badge_app::disableCounting(f.platform(), f.item(), f.env); },
       [](BadgeFixture&) { return BadgeFixture::disabledRecord(); }},
      {"replace",
       [](BadgeFixture& f) {
         return badge_app::replaceRecord(f.platform(), f.item(), {1, 2});
       },
       [](BadgeFixture&) {
         return ByteString{1, 2};
       }},
  };
}

TEST(BadgeAppWritesTest, LostRacesAreRetriedWithTheInjectedPause) {
  for (const AppWrite& w : appWrites()) {
    BadgeFixture f;
    f.storeRecord(f.enabledRecord(5));
    f.random.script({0, 1800});
    f.keychain->failNextUpdates(2, errSecItemNotFound);
    BadgeRecordSwap swap = w.write(f);
    EXPECT_EQ(swap.status, errSecSuccess) << w.name;
    EXPECT_EQ(f.sleeper.pauses(), (std::vector<std::uint32_t>{200, 2000})) << w.name;
    EXPECT_EQ(f.storedRecord(), w.expected(f)) << w.name;
    EXPECT_EQ(f.keychain->updateCalls(), 3) << w.name;
  }
}

// Why a write failed decides what badge-app says: a busy item is not a missing one.
TEST(BadgeAppWritesTest, FailedWritesAreToldApart) {
  const struct {
    const char* name;
    std::function<void(BadgeFixture&)> setUp;
    SwapEnd end;
    std::size_t pauses;
    const char* says;
  } cases[] = {
      {"every race lost",
       [](BadgeFixture& f) { f.keychain->failNextUpdates(kIncrementAttempts, errSecItemNotFound); },
       SwapEnd::kLostEveryRace, kIncrementAttempts,
       "the badge item is busy with other writers: every one of 24 tries lost the race"},
      {"item removed by another writer",
       [](BadgeFixture& f) { f.keychain->beforeUpdate([&f] { f.removeItem(); }); },
       SwapEnd::kNoItem, 1, "no badge item in the keychain"},
      {"keychain refuses the update",
       [](BadgeFixture& f) { f.keychain->failNextUpdates(1, errSecMissingEntitlement); },
       SwapEnd::kKeychainFailed, 0, "not entitled to the keychain access group"},
  };
  // Only its path is named; one that exists, or a missing item would be told as a missing file.
  badge_app::AppKeychain unused("/dev/null");
  for (const auto& c : cases) {
    for (const AppWrite& w : appWrites()) {
      BadgeFixture f;
      f.storeRecord(f.enabledRecord(5));
      c.setUp(f);
      BadgeRecordSwap swap = w.write(f);
      EXPECT_EQ(swap.end, c.end) << c.name << ", " << w.name;
      EXPECT_EQ(f.sleeper.pauses().size(), c.pauses) << c.name << ", " << w.name;
      EXPECT_TRUE(badge_app::swapFailure(unused, swap).starts_with(c.says))
          << c.name << ", " << w.name << ": " << badge_app::swapFailure(unused, swap);
      EXPECT_FALSE(swap.written.has_value()) << c.name << ", " << w.name;
    }
  }
}

// An item without a record is compared on that absence too: a record written in between is seen,
// not overwritten.
TEST(BadgeAppWritesTest, EnableOnAnItemWithoutRecordKeepsOneWrittenInBetween) {
  BadgeFixture f;
  KeychainQuery noRecord = testing::badgeItemAttributes(testing::kTestAccessGroup, {});
  noRecord.erase(kSecAttrGeneric);
  ASSERT_EQ(f.store->add(noRecord), errSecSuccess);
  bool once = true;
  f.keychain->beforeUpdate([&] {
    if (std::exchange(once, false)) f.storeRecord(f.enabledRecord(7));
  });
  BadgeRecordSwap swap = badge_app::enableCounting(f.platform(), f.item(), f.tag(), f.env);
  EXPECT_EQ(swap.end, SwapEnd::kLeftAsItWas) << "on the re-read the counter is on already";
  EXPECT_EQ(f.storedCount(), 7u);
  EXPECT_EQ(f.keychain->updateCalls(), 1);
}

TEST(BadgeAppWritesTest, EnableKeepsAnIncrementThatLandedInBetween) {
  BadgeFixture f;
  f.storeRecord(f.foreignRecord(3));
  // The extension of this installation takes the counter over and counts once, between the
  // app's read and its update: the app's update misses, and on the re-read the counter is on.
  bool once = true;
  f.keychain->beforeUpdate([&] {
    if (std::exchange(once, false)) f.storeRecord(f.enabledRecord(1));
  });
  BadgeRecordSwap swap = badge_app::enableCounting(f.platform(), f.item(), f.tag(), f.env);
  EXPECT_EQ(swap.status, errSecSuccess);
  EXPECT_FALSE(swap.written.has_value()) << "already on for this installation: nothing to write";
  EXPECT_EQ(f.storedCount(), 1u);
  EXPECT_EQ(f.sleeper.pauses().size(), 1u);
}

}  // namespace
}  // namespace quenlarch
