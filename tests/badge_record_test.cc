// Badge record codec: the valid shapes, every rejection rule, masking, round trips and damage.
#include "badge/badge_record.h"

#include <gtest/gtest.h>

#include "platform/hex.h"

namespace quenlarch {
namespace {

const HomeScreenBadgeInstallTag kMine{hexDecode("1122334455667788").value(),
                                      hexDecode("a0b0c0d0").value()};
const HomeScreenBadgeInstallTag kOther{hexDecode("99aabbccddeeff00").value(),
                                       hexDecode("01020304").value()};

ByteString record(std::string_view hex) { return hexDecode(hex).value(); }

class BadgeRecordTest : public ::testing::Test {
 protected:
  HomeScreenBadgeEnvironment env_{kMine};
};

TEST_F(BadgeRecordTest, RejectsMalformedRecordsAndSaysWhy) {
  using D = BadgeRecordDefect;
  struct {
    const char* why;
    const char* hex;
    BadgeRecordDefect defect;
  } cases[] = {
      {"15 bytes", "544203010000000011223344556677", D::kWrongSize},
      {"17 bytes", "54420301a0b0c0d0112233445566778800", D::kWrongSize},
      {"empty", "", D::kWrongSize},
      {"bad magic", "54430301a0b0c0d01122334455667788", D::kBadMagic},
      {"version 1", "54420101a0b0c0d01122334455667788", D::kUnknownVersion},
      {"version 4", "54420401a0b0c0d01122334455667788", D::kUnknownVersion},
      {"version 0x83", "54428301a0b0c0d01122334455667788", D::kUnknownVersion},
      {"enabled byte 2", "54420302a0b0c0d01122334455667788", D::kBadEnabledByte},
      {"enabled with zero tag", "54420301000000000000000000000000", D::kEnabledWithZeroTag},
      {"disabled with a count", "54420300010000000000000000000000", D::kDisabledNotEmpty},
      {"disabled with a tag", "54420300000000001122334455667788", D::kDisabledNotEmpty},
      {"disabled v2 with a count", "54420200050000000000000000000000", D::kDisabledNotEmpty},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(decodeBadgeRecord(record(c.hex), kMine, env_).has_value()) << c.why;
    BadgeRecordDecoding decoded = decodeBadgeRecordWithReason(record(c.hex), kMine, env_);
    EXPECT_FALSE(decoded.state.has_value()) << c.why;
    EXPECT_EQ(decoded.defect, c.defect) << c.why;
  }
  EXPECT_EQ(describeBadgeRecordDefect(D::kUnknownVersion, record("54420901")),
            "unknown record version 9");
}

// Whose counter a record is, and whether its count can be shown: the rule every reader shares.
TEST_F(BadgeRecordTest, OwnershipAndKnownCountFollowTheTag) {
  HomeScreenBadgeEnvironment otherEnv(kOther);
  struct {
    const char* what;
    ByteString bytes;
    HomeScreenBadgeInstallTag known;
    bool owned;
    bool countKnown;
  } cases[] = {
      {"mine", encodeBadgeRecord({true, 3, kMine}, env_), kMine, true, true},
      {"another's, masked", encodeBadgeRecord({true, 3, kOther}, otherEnv), kMine, false, false},
      {"another's, version 2",
       record("5442020103000000"
              "99aabbccddeeff00"),
       kMine, false, true},
      {"mine, but the known tag is zero", encodeBadgeRecord({true, 3, kMine}, env_),
       zeroInstallTag(), false, true},
      {"disabled", record("54420300000000000000000000000000"), kMine, false, true},
  };
  for (const auto& c : cases) {
    BadgeRecordDecoding decoded = decodeBadgeRecordWithReason(c.bytes, c.known, env_);
    ASSERT_TRUE(decoded.state.has_value()) << c.what;
    EXPECT_EQ(isOwnedByInstallation(*decoded.state, c.known), c.owned) << c.what;
    EXPECT_EQ(decoded.countKnown, c.countKnown) << c.what;
  }
}

TEST_F(BadgeRecordTest, DecodesTheDisabledShape) {
  auto state = decodeBadgeRecord(record("54420300000000000000000000000000"), kMine, env_);
  ASSERT_TRUE(state.has_value());
  EXPECT_FALSE(state->isEnabled);
  EXPECT_EQ(state->count, 0u);
  EXPECT_TRUE(isZeroInstallTag(state->installTag));
  EXPECT_FALSE(state->installTag.countMask.has_value());
}

TEST_F(BadgeRecordTest, UnmasksVersion3AndReadsVersion2Plain) {
  // Count 5 little-endian is 05 00 00 00; masked with a0 b0 c0 d0.
  auto v3 = decodeBadgeRecord(record("54420301a5b0c0d01122334455667788"), kMine, env_);
  ASSERT_TRUE(v3.has_value());
  EXPECT_TRUE(v3->isEnabled);
  EXPECT_EQ(v3->count, 5u);
  EXPECT_EQ(v3->installTag, kMine);
  EXPECT_EQ(v3->installTag.countMask, kMine.countMask);

  auto v2 = decodeBadgeRecord(record("54420201050000001122334455667788"), kMine, env_);
  ASSERT_TRUE(v2.has_value());
  EXPECT_EQ(v2->count, 5u);
}

TEST_F(BadgeRecordTest, EncodesTheLayoutByteForByte) {
  EXPECT_EQ(hexEncode(encodeBadgeRecord({true, 0x01020304, kMine}, env_)),
            "54420301a4b3c2d11122334455667788");
  EXPECT_EQ(hexEncode(encodeBadgeRecord({false, 0, zeroInstallTag()}, env_)),
            "54420300000000000000000000000000");
}

TEST_F(BadgeRecordTest, RoundTripsCountsWithTheirOwnMask) {
  for (std::uint32_t count : {0u, 1u, 255u, 256u, 65535u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    ByteString bytes = encodeBadgeRecord({true, count, kMine}, env_);
    ASSERT_EQ(bytes.size(), kBadgeRecordSize);
    auto state = decodeBadgeRecord(bytes, kMine, env_);
    ASSERT_TRUE(state.has_value()) << count;
    EXPECT_EQ(state->count, count);
    EXPECT_EQ(state->installTag, kMine);
    EXPECT_EQ(encodeBadgeRecord(*state, env_), bytes) << "re-encoding changed the record";
  }
}

TEST_F(BadgeRecordTest, ForeignRecordDecodesWithItsCountStillMasked) {
  // Written by the other installation, which knows its own mask.
  HomeScreenBadgeEnvironment otherEnv(kOther);
  ByteString bytes = encodeBadgeRecord({true, 7, kOther}, otherEnv);
  auto state = decodeBadgeRecord(bytes, kMine, env_);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->count, 7u ^ 0x04030201u);
  EXPECT_EQ(state->installTag, kOther);
  EXPECT_FALSE(state->installTag.countMask.has_value());
  EXPECT_FALSE(state->installTag == kMine);
}

TEST_F(BadgeRecordTest, CurrentTagSuppliesTheMaskWhenTheKnownTagDiffers) {
  ByteString bytes = encodeBadgeRecord({true, 42, kMine}, env_);
  auto state = decodeBadgeRecord(bytes, kOther, env_);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->count, 42u);
}

TEST_F(BadgeRecordTest, EveryFlippedByteIsRejectedOrChangesTheMeaning) {
  const ByteString good = encodeBadgeRecord({true, 9, kMine}, env_);
  for (std::size_t i = 0; i < good.size(); ++i) {
    ByteString damaged = good;
    damaged[i] ^= 0x40;
    auto state = decodeBadgeRecord(damaged, kMine, env_);
    if (!state) continue;
    const bool same = state->isEnabled && state->count == 9 && state->installTag == kMine;
    EXPECT_FALSE(same) << "flipping byte " << i << " went unnoticed";
  }
}

}  // namespace
}  // namespace quenlarch
