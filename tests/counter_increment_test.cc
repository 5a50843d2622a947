// The increment loop's exact sequences: reads, updates, pauses and their lengths, against a fake
// keychain that scripts lost races and refusals; and the reason it names beside each result.
#include <gtest/gtest.h>

#include "tests/support/badge_fixture.h"

namespace quenlarch {
namespace {

using testing::BadgeFixture;
using testing::Store;

// Every sequence runs on the in-memory fake and on the real SQLite store.
class CounterIncrementTest : public ::testing::TestWithParam<Store> {};

TEST_P(CounterIncrementTest, IncrementsAndStoresTheMaskedRecord) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  EXPECT_EQ(incrementBadgeCount(f.tag(), f.item(), f.platform(), f.env), 5u);
  EXPECT_EQ(f.storedRecord(), f.enabledRecord(5));
  EXPECT_TRUE(f.sleeper.pauses().empty());
}

TEST_P(CounterIncrementTest, SaturatesAtTheMaximum) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(0xFFFFFFFFu));
  EXPECT_EQ(incrementBadgeCount(f.tag(), f.item(), f.platform(), f.env), 0xFFFFFFFFu);
  EXPECT_EQ(f.storedCount(), 0xFFFFFFFFu);
  EXPECT_EQ(f.keychain->updateCalls(), 1);
}

TEST_P(CounterIncrementTest, LostRaceIsRetriedWithTheOtherWritersValue) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  f.random.script({1800});
  bool raced = false;
  f.keychain->beforeUpdate([&] {
    if (!raced) f.storeRecord(f.enabledRecord(10));  // another writer gets in first
    raced = true;
  });
  EXPECT_EQ(incrementBadgeCount(f.tag(), f.item(), f.platform(), f.env), 11u);
  EXPECT_EQ(f.keychain->updateCalls(), 2);
  EXPECT_EQ(f.sleeper.pauses(), std::vector<std::uint32_t>{2000});
  EXPECT_EQ(f.random.upperBounds(), std::vector<std::uint32_t>{1801});
  EXPECT_EQ(f.storedCount(), 11u);
}

TEST_P(CounterIncrementTest, TwentyFourLostRacesGiveUpAfterTwentyFourPauses) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  f.keychain->failNextUpdates(100, errSecItemNotFound);
  std::vector<std::uint32_t> draws;
  for (std::uint32_t i = 0; i < 24; ++i) draws.push_back(i * 75);
  f.random.script(draws);
  const BadgeIncrement result =
      incrementBadgeCountWithReason(f.tag(), f.item(), f.platform(), f.env);
  EXPECT_FALSE(result.count.has_value());
  EXPECT_EQ(result.reason.outcome, BadgeOutcome::kGaveUp);
  EXPECT_EQ(f.keychain->updateCalls(), 24);
  EXPECT_EQ(f.keychain->readCalls(), 24);
  std::vector<std::uint32_t> expected;
  for (std::uint32_t d : draws) expected.push_back(200 + d);
  EXPECT_EQ(f.sleeper.pauses(), expected);
  EXPECT_EQ(f.storedCount(), 4u);
}

TEST_P(CounterIncrementTest, UnexpectedStatusStopsAtOnce) {
  for (OSStatus status : {errSecParam, errSecMissingEntitlement, errSecStoreUnavailable,
                          errSecDuplicateItem, OSStatus{1}}) {
    BadgeFixture f(GetParam());
    f.storeRecord(f.enabledRecord(4));
    f.keychain->failNextUpdates(1, status);
    const BadgeIncrement result =
        incrementBadgeCountWithReason(f.tag(), f.item(), f.platform(), f.env);
    EXPECT_FALSE(result.count.has_value()) << status;
    EXPECT_EQ(result.reason.outcome, BadgeOutcome::kKeychainUnusable) << status;
    EXPECT_EQ(result.reason.keychainStatus, status);
    EXPECT_EQ(f.keychain->updateCalls(), 1) << status;
    EXPECT_TRUE(f.sleeper.pauses().empty()) << status;
  }
}

TEST_P(CounterIncrementTest, RecordsItMustNotTouchAreNeverWritten) {
  struct {
    const char* why;
    std::function<void(BadgeFixture&)> setUp;
    BadgeOutcome outcome;
  } cases[] = {
      {"no item", [](BadgeFixture&) {}, BadgeOutcome::kNoBadgeItem},
      {"disabled", [](BadgeFixture& f) { f.storeRecord(BadgeFixture::disabledRecord()); },
       BadgeOutcome::kCountingOff},
      {"other installation", [](BadgeFixture& f) { f.storeRecord(f.foreignRecord(4)); },
       BadgeOutcome::kOtherInstallation},
      {"garbage", [](BadgeFixture& f) { f.storeRecord(ByteString(16, 0xEE)); },
       BadgeOutcome::kNoValidRecord},
      {"short",
       [](BadgeFixture& f) {
         f.storeRecord(ByteString{'T', 'B', 3, 1});
       },
       BadgeOutcome::kNoValidRecord},
      {"no generic attribute",
       [](BadgeFixture& f) {
         KeychainQuery noRecord = testing::badgeItemAttributes(testing::kTestAccessGroup, {});
         noRecord.erase(kSecAttrGeneric);
         f.store->add(noRecord);
       },
       BadgeOutcome::kNoValidRecord},
      {"keychain refuses the read",
       [](BadgeFixture& f) {
         f.storeRecord(f.enabledRecord(4));
         f.keychain->failNextReads(1, errSecStoreUnavailable);
       },
       BadgeOutcome::kKeychainUnusable},
  };
  for (const auto& c : cases) {
    BadgeFixture f(GetParam());
    c.setUp(f);
    const BadgeIncrement result =
        incrementBadgeCountWithReason(f.tag(), f.item(), f.platform(), f.env);
    EXPECT_FALSE(result.count.has_value()) << c.why;
    EXPECT_EQ(result.reason.outcome, c.outcome) << c.why;
    EXPECT_EQ(f.keychain->updateCalls(), 0) << c.why;
  }
}

TEST_P(CounterIncrementTest, ZeroKnownTagNeverWrites) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  EXPECT_FALSE(incrementBadgeCount(zeroInstallTag(), f.item(), f.platform(), f.env).has_value());
  EXPECT_EQ(f.keychain->updateCalls(), 0);
}

TEST_P(CounterIncrementTest, DisableDuringTheRaceStopsTheLoop) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  f.keychain->beforeUpdate([&] { f.storeRecord(BadgeFixture::disabledRecord()); });
  EXPECT_EQ(incrementBadgeCountWithReason(f.tag(), f.item(), f.platform(), f.env).reason.outcome,
            BadgeOutcome::kCountingOff);
  EXPECT_EQ(f.keychain->updateCalls(), 1);
  EXPECT_EQ(f.storedRecord(), BadgeFixture::disabledRecord());
}

TEST_P(CounterIncrementTest, ItemRemovedBetweenReadAndUpdateEndsWithNone) {
  BadgeFixture f(GetParam());
  f.storeRecord(f.enabledRecord(4));
  f.keychain->beforeUpdate([&] { f.removeItem(); });
  EXPECT_EQ(incrementBadgeCountWithReason(f.tag(), f.item(), f.platform(), f.env).reason.outcome,
            BadgeOutcome::kNoBadgeItem);
  EXPECT_EQ(f.keychain->updateCalls(), 1);
  EXPECT_EQ(f.sleeper.pauses().size(), 1u);
  EXPECT_EQ(f.keychain->readCalls(), 2);
}

TEST_P(CounterIncrementTest, Version2RecordIsRewrittenAsVersion3) {
  BadgeFixture f(GetParam());
  ByteString v2{'T', 'B', 2, 1, 7, 0, 0, 0};
  v2.insert(v2.end(), f.tag().bytes.begin(), f.tag().bytes.end());
  f.storeRecord(v2);
  EXPECT_EQ(incrementBadgeCount(f.tag(), f.item(), f.platform(), f.env), 8u);
  EXPECT_EQ(f.storedRecord(), f.enabledRecord(8));
}

INSTANTIATE_TEST_SUITE_P(Stores, CounterIncrementTest,
                         ::testing::Values(Store::kFake, Store::kSqlite),
                         [](const ::testing::TestParamInfo<Store>& p) {
                           return std::string(testing::storeName(p.param));
                         });

}  // namespace
}  // namespace quenlarch
