// The compare-and-swap increment loop. Keychain statuses are interpreted here and nowhere else.
#include "badge/counter_increment.h"

#include <limits>

#include "badge/badge_record.h"

namespace quenlarch {

std::optional<std::uint32_t> incrementBadgeCount(const HomeScreenBadgeInstallTag& knownTag,
                                                 const HomeScreenBadgeKeychainItem& item,
                                                 CounterPlatform platform,
                                                 const HomeScreenBadgeEnvironment& env) {
  for (int attempt = 0; attempt < kIncrementAttempts; ++attempt) {
    std::optional<ByteString> data = readBadgeRecordData(item, platform.keychain);
    if (!data) return std::nullopt;
    std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*data, knownTag, env);
    if (!state) return std::nullopt;
    // Re-checked on every attempt: a writer that switched counting off or handed the counter to
    // another installation meanwhile stops the loop here.
    if (!state->isEnabled || !(state->installTag == knownTag) || isZeroInstallTag(knownTag)) {
      return std::nullopt;
    }

    const std::uint32_t next = state->count == std::numeric_limits<std::uint32_t>::max()
                                   ? state->count
                                   : state->count + 1;
    KeychainQuery compare = baseItemQuery(item);
    compare[kSecAttrGeneric] = PlistValue(PlistData{*data});
    const ByteString record = encodeBadgeRecord({true, next, state->installTag}, env);
    const OSStatus status =
        platform.keychain.update(compare, {{kSecAttrGeneric, PlistValue(PlistData{record})}});

    if (status == errSecSuccess) return next;
    if (status != errSecItemNotFound) return std::nullopt;
    // Another writer changed (or removed) the item since the read.
    platform.sleeper.sleepMicroseconds(kRetryPauseBaseMicros +
                                       platform.random.uniform(kRetryPauseSpreadMicros + 1));
  }
  return std::nullopt;
}

}  // namespace quenlarch
