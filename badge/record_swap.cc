// The compare-and-swap loop on the badge record.
#include "badge/record_swap.h"

namespace quenlarch {

BadgeRecordSwap swapBadgeRecord(const HomeScreenBadgeKeychainItem& item, CounterPlatform platform,
                                const BadgeRecordTransform& transform) {
  OSStatus status = errSecItemNotFound;
  for (int attempt = 0; attempt < kIncrementAttempts; ++attempt) {
    BadgeRecordRead current = readBadgeRecord(item, platform.keychain);
    if (current.status != errSecSuccess) return {current.status, std::nullopt};
    std::optional<ByteString> next = transform(current.record);
    if (!next) return {errSecSuccess, std::nullopt};
    // The compare part: the update matches only while the item holds exactly the bytes read. An
    // item without the attribute is matched by its identity alone.
    KeychainQuery compare = baseItemQuery(item);
    if (current.record) compare[kSecAttrGeneric] = PlistValue(PlistData{*current.record});
    status = platform.keychain.update(compare, {{kSecAttrGeneric, PlistValue(PlistData{*next})}});
    if (status == errSecSuccess) return {status, std::move(next)};
    if (status != errSecItemNotFound) return {status, std::nullopt};
    // Another writer changed (or removed) the item since the read.
    platform.sleeper.sleepMicroseconds(kRetryPauseBaseMicros +
                                       platform.random.uniform(kRetryPauseSpreadMicros + 1));
  }
  return {status, std::nullopt};
}

}  // namespace quenlarch
