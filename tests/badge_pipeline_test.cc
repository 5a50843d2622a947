// The badge pipeline's choices, one case per situation the extension can meet, against fakes: the
// content it delivers, what the keychain holds afterwards, and the one outcome it logs.
#include "extension/badge_pipeline.h"

#include <gtest/gtest.h>

#include "tests/support/badge_fixture.h"
#include "tests/support/fake_content.h"

namespace quenlarch {
namespace {

using testing::BadgeFixture;
using testing::FakeContent;

enum class Record { kNone, kEnabled, kDisabled, kForeign, kGarbage };
enum class Shown { kReceived, kBadge };

struct PipelineCase {
  const char* name;
  bool configured;
  bool counted;
  std::optional<std::int64_t> pushBadge;
  Record record;
  int failUpdatesWith;  // 0: updates succeed
  Shown shown;
  std::optional<std::int64_t> badge;  // expected badge when shown == kBadge
  std::uint32_t storedAfter;          // expected stored count when the record is ours
  BadgeOutcome outcome;               // the one entry logged
};

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class BadgePipelineTest : public ::testing::TestWithParam<PipelineCase> {
 protected:
  void check(const PipelineCase& c, testing::Store kind);
};

TEST_P(BadgePipelineTest, DeliversTheRightContent) {
  const PipelineCase& c = GetParam();
  for (testing::Store store : {testing::Store::kFake, testing::Store::kSqlite}) {
    SCOPED_TRACE(testing::storeName(store));
    check(c, store);
  }
}

void BadgePipelineTest::check(const PipelineCase& c, testing::Store kind) {
  BadgeFixture f(kind);
  testing::FakeBundle unconfigured(testing::kTestExtensionPath);
  const Bundle& bundle = c.configured ? static_cast<const Bundle&>(f.bundle) : unconfigured;
  switch (c.record) {
    case Record::kNone:
      break;
    case Record::kEnabled:
      f.storeRecord(f.enabledRecord(4));
      break;
    case Record::kDisabled:
      f.storeRecord(BadgeFixture::disabledRecord());
      break;
    case Record::kForeign:
      f.storeRecord(f.foreignRecord(4));
      break;
    case Record::kGarbage:
      f.storeRecord(ByteString(16, 0x00));
      break;
  }
  if (c.failUpdatesWith != 0) f.keychain->failNextUpdates(100, c.failUpdatesWith);
  const auto before = f.storedRecord();
  const int callsBefore = f.keychain->callCount();

  testing::RecordingOutcomeLog& log = f.log;
  BadgePipeline pipeline(bundle, f.platform(), f.env, log);
  auto received = std::make_shared<FakeContent>(
      testing::payloadWithLocKey(c.counted ? "Neue Nachricht" : "Hallo"), c.pushBadge);
  ContentRef shown = pipeline.prepareContent({"id", received});
  const OSStatus status = c.outcome == BadgeOutcome::kKeychainUnusable ? c.failUpdatesWith : 0;
  EXPECT_EQ(log.entries(), (std::vector<testing::RecordingOutcomeLog::Entry>{{c.outcome, status}}))
      << "logged: "
      << (log.entries().empty() ? "nothing" : badgeNoteText(log.entries()[0].outcome));

  if (c.shown == Shown::kReceived) {
    EXPECT_EQ(shown, received) << "expected the content exactly as received";
  } else {
    EXPECT_NE(shown, received);
    EXPECT_EQ(shown->badge(), c.badge);
    EXPECT_EQ(shown->userInfo(), received->userInfo());
  }
  if (!c.configured) {
    EXPECT_EQ(f.keychain->callCount(), callsBefore) << "no configuration means no keychain traffic";
  }
  if (c.record == Record::kEnabled) {
    EXPECT_EQ(f.storedCount(), c.storedAfter);
  } else {
    EXPECT_EQ(f.storedRecord(), before) << "a record not ours is never written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Situations, BadgePipelineTest,
    ::testing::Values(
        PipelineCase{"CountedIncrementsAndShowsTheNewCount", true, true, std::nullopt,
                     Record::kEnabled, 0, Shown::kBadge, 5, 5, BadgeOutcome::kCounted},
        PipelineCase{"CountedWithPushBadgeShowsTheNewCount", true, true, 99, Record::kEnabled, 0,
                     Shown::kBadge, 5, 5, BadgeOutcome::kCounted},
        PipelineCase{"NoConfigurationNoKeychain", false, true, 99, Record::kEnabled, 0,
                     Shown::kReceived, std::nullopt, 4, BadgeOutcome::kNoBadgeItem},
        PipelineCase{"UncountedWithoutBadgeUnchanged", true, false, std::nullopt, Record::kEnabled,
                     0, Shown::kReceived, std::nullopt, 4, BadgeOutcome::kNotCounted},
        PipelineCase{"UncountedBadgeReplacedByStoredCount", true, false, 99, Record::kEnabled, 0,
                     Shown::kBadge, 4, 4, BadgeOutcome::kNotCounted},
        PipelineCase{"ZeroBadgeCountsAsABadge", true, false, 0, Record::kEnabled, 0, Shown::kBadge,
                     4, 4, BadgeOutcome::kNotCounted},
        PipelineCase{"IncrementFailsPushBadgeShowsStoredCount", true, true, 99, Record::kEnabled,
                     errSecStoreUnavailable, Shown::kBadge, 4, 4, BadgeOutcome::kKeychainUnusable},
        PipelineCase{"IncrementLosesEveryRacePushBadgeShowsStoredCount", true, true, 99,
                     Record::kEnabled, errSecItemNotFound, Shown::kBadge, 4, 4,
                     BadgeOutcome::kGaveUp},
        PipelineCase{"IncrementFailsNoBadgeUnchanged", true, true, std::nullopt, Record::kEnabled,
                     errSecStoreUnavailable, Shown::kReceived, std::nullopt, 4,
                     BadgeOutcome::kKeychainUnusable},
        PipelineCase{"NoItemWithBadgeUnchanged", true, true, 99, Record::kNone, 0, Shown::kReceived,
                     std::nullopt, 0, BadgeOutcome::kNoBadgeItem},
        PipelineCase{"DisabledShowsThePushBadge", true, false, 99, Record::kDisabled, 0,
                     Shown::kReceived, std::nullopt, 0, BadgeOutcome::kCountingOff},
        PipelineCase{"CountedDisabledUnchanged", true, true, std::nullopt, Record::kDisabled, 0,
                     Shown::kReceived, std::nullopt, 0, BadgeOutcome::kCountingOff},
        PipelineCase{"ForeignRecordUnchanged", true, true, 99, Record::kForeign, 0,
                     Shown::kReceived, std::nullopt, 0, BadgeOutcome::kOtherInstallation},
        PipelineCase{"InvalidRecordUnchanged", true, false, 3, Record::kGarbage, 0,
                     Shown::kReceived, std::nullopt, 0, BadgeOutcome::kNoValidRecord}),
    [](const ::testing::TestParamInfo<PipelineCase>& p) { return std::string(p.param.name); });

TEST(BadgePipelineStepsTest, ReadBackFailureAfterIncrementDeliversAsReceived) {
  BadgeFixture f(testing::Store::kSqlite);
  f.storeRecord(f.enabledRecord(4));
  BadgePipeline pipeline(f.bundle, f.platform(), f.env, f.log);
  auto received =
      std::make_shared<FakeContent>(testing::payloadWithLocKey("Verpasster Anruf"), std::nullopt);
  // The increment's own read succeeds; the read-back afterwards fails.
  f.keychain->beforeUpdate([&] { f.keychain->failNextReads(1, errSecStoreUnavailable); });
  EXPECT_EQ(pipeline.prepareContent({"id", received}), received);
  EXPECT_EQ(f.storedCount(), 5u) << "the increment stays";
  EXPECT_EQ(f.log.entries(), (std::vector<testing::RecordingOutcomeLog::Entry>{
                                 {BadgeOutcome::kKeychainUnusable, errSecStoreUnavailable}}))
      << "the read-back is what stood in the way";
}

TEST(BadgePipelineStepsTest, ShownBadgeIsTheStoredValueNotTheComputedOne) {
  BadgeFixture f;
  f.storeRecord(f.enabledRecord(4));
  BadgePipeline pipeline(f.bundle, f.platform(), f.env, f.log);
  ContentRef received =
      std::make_shared<FakeContent>(testing::payloadWithLocKey("Neue Nachricht"), std::nullopt);
  auto item = badgeKeychainItem(f.bundle);
  ContentRef candidate = pipeline.contentWithIncrementedBadge({"id", received}, item, f.tag());
  ASSERT_EQ(candidate->badge(), 5);
  f.storeRecord(f.enabledRecord(40));  // another writer moves the counter before the read-back
  EXPECT_EQ(pipeline.stampStoredBadge(candidate, received, item, f.tag())->badge(), 40);
}

TEST(BadgePipelineStepsTest, ImmutableCopiesFallBackToTheReceivedContent) {
  BadgeFixture f;
  f.storeRecord(f.enabledRecord(4));
  BadgePipeline pipeline(f.bundle, f.platform(), f.env, f.log);
  auto counted = std::make_shared<FakeContent>(testing::payloadWithLocKey("Neue Nachricht"), 9,
                                               FakeContent::CopyKind::kImmutable);
  EXPECT_EQ(pipeline.prepareContent({"id", counted}), counted);
  EXPECT_EQ(f.storedCount(), 4u) << "an unusable copy costs no count";
  EXPECT_EQ(f.keychain->updateCalls(), 0);
}

}  // namespace
}  // namespace quenlarch
