// Badge record codec (layout in the header).
#include "badge/badge_record.h"

namespace quenlarch {
namespace {

constexpr std::uint8_t kMagic0 = 0x54;  // 'T'
constexpr std::uint8_t kMagic1 = 0x42;  // 'B'
constexpr std::uint8_t kWrittenVersion = 3;

}  // namespace

BadgeRecordDecoding decodeBadgeRecordWithReason(std::span<const std::uint8_t> data,
                                                const HomeScreenBadgeInstallTag& knownTag,
                                                const HomeScreenBadgeEnvironment& env) {
  auto refuse = [](BadgeRecordDefect defect) {
    return BadgeRecordDecoding{std::nullopt, defect, false};
  };
  if (data.size() != kBadgeRecordSize) return refuse(BadgeRecordDefect::kWrongSize);
  if (data[0] != kMagic0 || data[1] != kMagic1) return refuse(BadgeRecordDefect::kBadMagic);
  if ((data[2] & 0xFE) != 2) return refuse(BadgeRecordDefect::kUnknownVersion);
  if (data[3] > 1) return refuse(BadgeRecordDefect::kBadEnabledByte);
  const bool masked = data[2] == 3;
  const bool enabled = data[3] == 1;

  HomeScreenBadgeInstallTag tag = resolvedInstallTag(data.subspan(8, 8), knownTag, env);
  const bool zeroTag = isZeroInstallTag(tag);
  const ByteString mask =
      (masked && !zeroTag) ? resolvedCountMask(tag, knownTag, env) : ByteString(kCountMaskSize, 0);
  // resolvedInstallTag attaches a mask exactly when resolvedCountMask can find one.
  const bool countKnown = !masked || zeroTag || tag.countMask.has_value();

  std::uint32_t count = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    count |= static_cast<std::uint32_t>(data[4 + i] ^ mask[i]) << (8 * i);
  }

  if (enabled) {
    if (zeroTag) return refuse(BadgeRecordDefect::kEnabledWithZeroTag);
    return {HomeScreenBadgeState{true, count, std::move(tag)}, BadgeRecordDefect::kNone,
            countKnown};
  }
  if (count != 0 || !zeroTag) return refuse(BadgeRecordDefect::kDisabledNotEmpty);
  return {HomeScreenBadgeState{false, 0, zeroInstallTag()}, BadgeRecordDefect::kNone, true};
}

std::optional<HomeScreenBadgeState> decodeBadgeRecord(std::span<const std::uint8_t> data,
                                                      const HomeScreenBadgeInstallTag& knownTag,
                                                      const HomeScreenBadgeEnvironment& env) {
  return decodeBadgeRecordWithReason(data, knownTag, env).state;
}

std::string describeBadgeRecordDefect(BadgeRecordDefect defect,
                                      std::span<const std::uint8_t> data) {
  switch (defect) {
    case BadgeRecordDefect::kNone:
      return "a valid record";
    case BadgeRecordDefect::kWrongSize:
      return "a record is 16 bytes, this one is " + std::to_string(data.size());
    case BadgeRecordDefect::kBadMagic:
      return "the record does not start with \"TB\"";
    case BadgeRecordDefect::kUnknownVersion:
      return "unknown record version " + std::to_string(data.size() > 2 ? data[2] : 0);
    case BadgeRecordDefect::kBadEnabledByte:
      return "enabled byte " + std::to_string(data.size() > 3 ? data[3] : 0) +
             " is neither 0 nor 1";
    case BadgeRecordDefect::kEnabledWithZeroTag:
      return "an enabled record carries the zero install tag";
    case BadgeRecordDefect::kDisabledNotEmpty:
      return "a disabled record must have count 0 and the zero install tag";
  }
  return "an invalid record";
}

bool isOwnedByInstallation(const HomeScreenBadgeState& state,
                           const HomeScreenBadgeInstallTag& knownTag) {
  return state.isEnabled && state.installTag == knownTag && !isZeroInstallTag(knownTag);
}

ByteString encodeBadgeRecord(const HomeScreenBadgeState& state,
                             const HomeScreenBadgeEnvironment& env) {
  const ByteString mask = state.isEnabled
                              ? resolvedCountMask(state.installTag, state.installTag, env)
                              : ByteString(kCountMaskSize, 0);
  ByteString out{kMagic0, kMagic1, kWrittenVersion, static_cast<std::uint8_t>(state.isEnabled)};
  for (std::size_t i = 0; i < 4; ++i) {
    out.push_back(static_cast<std::uint8_t>(((state.count >> (8 * i)) & 0xFF) ^ mask[i]));
  }
  out.insert(out.end(), state.installTag.bytes.begin(), state.installTag.bytes.end());
  return out;
}

}  // namespace quenlarch
