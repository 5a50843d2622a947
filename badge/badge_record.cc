// Badge record codec (layout in the header).
#include "badge/badge_record.h"

namespace quenlarch {
namespace {

constexpr std::uint8_t kMagic0 = 0x54;  // 'T'
constexpr std::uint8_t kMagic1 = 0x42;  // 'B'
constexpr std::uint8_t kWrittenVersion = 3;

}  // namespace

std::optional<HomeScreenBadgeState> decodeBadgeRecord(std::span<const std::uint8_t> data,
                                                      const HomeScreenBadgeInstallTag& knownTag,
                                                      const HomeScreenBadgeEnvironment& env) {
  if (data.size() != kBadgeRecordSize) return std::nullopt;
  if (data[0] != kMagic0 || data[1] != kMagic1) return std::nullopt;
  if ((data[2] & 0xFE) != 2) return std::nullopt;
  if (data[3] > 1) return std::nullopt;
  const bool masked = data[2] == 3;
  const bool enabled = data[3] == 1;

  HomeScreenBadgeInstallTag tag = resolvedInstallTag(data.subspan(8, 8), knownTag, env);
  const bool zeroTag = isZeroInstallTag(tag);
  const ByteString mask =
      (masked && !zeroTag) ? resolvedCountMask(tag, knownTag, env) : ByteString(kCountMaskSize, 0);

  std::uint32_t count = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    count |= static_cast<std::uint32_t>(data[4 + i] ^ mask[i]) << (8 * i);
  }

  if (enabled) {
    if (zeroTag) return std::nullopt;
    return HomeScreenBadgeState{true, count, std::move(tag)};
  }
  if (count != 0 || !zeroTag) return std::nullopt;
  return HomeScreenBadgeState{false, 0, zeroInstallTag()};
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
