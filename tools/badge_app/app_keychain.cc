// App-side keychain access.
#include "tools/badge_app/app_keychain.h"

#include "badge/counter_increment.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"

namespace quenlarch::badge_app {

std::string describeStatus(OSStatus status) {
  switch (status) {
    case errSecSuccess: return "success";
    case errSecItemNotFound: return "no badge item in the keychain";
    case errSecDuplicateItem: return "the badge item already exists";
    case errSecParam: return "the keychain rejected the query";
    case errSecMissingEntitlement: return "not entitled to the keychain access group";
    case errSecStoreUnavailable:
      return "the keychain store is unusable (busy, unreadable, corrupt or full)";
    default: return "keychain status " + std::to_string(status);
  }
}

ReadResult readRecord(Keychain& keychain, const HomeScreenBadgeKeychainItem& item) {
  KeychainQuery query = baseItemQuery(item);
  query[kSecReturnAttributes] = PlistValue(true);
  KeychainMatch match = keychain.copyMatching(query);
  if (match.status != errSecSuccess || !match.result) return {match.status, std::nullopt};
  const PlistValue* generic = match.result->find(kSecAttrGeneric);
  if (generic == nullptr || !generic->isData()) return {errSecSuccess, std::nullopt};
  return {errSecSuccess, generic->asData()->bytes};
}

RewriteResult rewriteRecord(
    Keychain& keychain, const HomeScreenBadgeKeychainItem& item,
    const std::function<std::optional<ByteString>(const ByteString&)>& transform) {
  SystemSleeper sleeper;
  SystemRandomSource random;
  OSStatus status = errSecItemNotFound;
  for (int attempt = 0; attempt < kIncrementAttempts; ++attempt) {
    ReadResult current = readRecord(keychain, item);
    if (current.status != errSecSuccess) return {current.status, std::nullopt};
    const ByteString before = current.record.value_or(ByteString{});
    std::optional<ByteString> next = transform(before);
    if (!next) return {errSecSuccess, std::nullopt};
    KeychainQuery compare = baseItemQuery(item);
    if (current.record) compare[kSecAttrGeneric] = PlistValue(PlistData{before});
    status = keychain.update(compare, {{kSecAttrGeneric, PlistValue(PlistData{*next})}});
    if (status == errSecSuccess) return {status, next};
    if (status != errSecItemNotFound) return {status, std::nullopt};
    sleeper.sleepMicroseconds(kRetryPauseBaseMicros + random.uniform(kRetryPauseSpreadMicros + 1));
  }
  return {status, std::nullopt};
}

KeychainQuery newItemAttributes(const HomeScreenBadgeKeychainItem& item, const ByteString& record) {
  KeychainQuery attributes = baseItemQuery(item);
  attributes[kSecAttrGeneric] = PlistValue(PlistData{record});
  attributes[kSecValueData] = PlistValue(PlistData{});
  return attributes;
}

}  // namespace quenlarch::badge_app
