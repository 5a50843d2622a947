// The compare-and-swap loop on the badge record.
#include "badge/record_swap.h"

namespace quenlarch {

BadgeRecordSwap swapBadgeRecord(const HomeScreenBadgeKeychainItem& item, CounterPlatform platform,
                                const BadgeRecordTransform& transform) {
  for (int attempt = 0; attempt < kIncrementAttempts; ++attempt) {
    BadgeRecordRead current = readBadgeRecord(item, platform.keychain);
    if (current.noItem()) return {SwapEnd::kNoItem, current.status, std::nullopt};
    if (current.status != errSecSuccess) {
      return {SwapEnd::kKeychainFailed, current.status, std::nullopt};
    }
    std::optional<ByteString> next = transform(current.record);
    if (!next) return {SwapEnd::kLeftAsItWas, errSecSuccess, std::nullopt};
    // The compare part: the update matches only while the item holds exactly what was read, an
    // item without the attribute only while it still has none.
    KeychainQuery compare = baseItemQuery(item);
    compare[kSecAttrGeneric] =
        current.record ? PlistValue(PlistData{*current.record}) : PlistValue(PlistNull{});
    const OSStatus status =
        platform.keychain.update(compare, {{kSecAttrGeneric, PlistValue(PlistData{*next})}});
    if (status == errSecSuccess) return {SwapEnd::kWritten, status, std::move(next)};
    if (status != errSecItemNotFound) return {SwapEnd::kKeychainFailed, status, std::nullopt};
    // Another writer changed (or removed) the item since the read.
    platform.sleeper.sleepMicroseconds(kRetryPauseBaseMicros +
                                       platform.random.uniform(kRetryPauseSpreadMicros + 1));
  }
  return {SwapEnd::kLostEveryRace, errSecItemNotFound, std::nullopt};
}

}  // namespace quenlarch
