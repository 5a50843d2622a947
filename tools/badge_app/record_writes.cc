// App-side record writes as transforms of the stored record.
#include "tools/badge_app/record_writes.h"

#include "badge/badge_record.h"

namespace quenlarch::badge_app {

BadgeRecordSwap enableCounting(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                               const HomeScreenBadgeInstallTag& tag,
                               const HomeScreenBadgeEnvironment& env) {
  return swapBadgeRecord(
      item, platform, [&](const std::optional<ByteString>& current) -> std::optional<ByteString> {
        if (current) {
          std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*current, tag, env);
          if (state && isOwnedByInstallation(*state, tag)) return std::nullopt;
        }
        return encodeBadgeRecord({true, 0, tag}, env);
      });
}

BadgeRecordSwap disableCounting(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                                const HomeScreenBadgeEnvironment& env) {
  return swapBadgeRecord(item, platform, [&](const std::optional<ByteString>&) {
    return std::optional<ByteString>(encodeBadgeRecord({false, 0, zeroInstallTag()}, env));
  });
}

BadgeRecordSwap setStoredCount(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                               const HomeScreenBadgeInstallTag& tag,
                               const HomeScreenBadgeEnvironment& env, std::uint32_t count) {
  return swapBadgeRecord(item, platform, [&](const std::optional<ByteString>&) {
    return std::optional<ByteString>(encodeBadgeRecord({true, count, tag}, env));
  });
}

BadgeRecordSwap replaceRecord(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                              const ByteString& record) {
  return swapBadgeRecord(item, platform, [&](const std::optional<ByteString>&) {
    return std::optional<ByteString>(record);
  });
}

KeychainQuery newItemAttributes(const HomeScreenBadgeKeychainItem& item, const ByteString& record) {
  KeychainQuery attributes = baseItemQuery(item);
  attributes[kSecAttrGeneric] = PlistValue(PlistData{record});
  attributes[kSecValueData] = PlistValue(PlistData{});
  return attributes;
}

}  // namespace quenlarch::badge_app
