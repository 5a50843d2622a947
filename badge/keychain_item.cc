// Badge keychain item: location from the bundle, the selecting query, and the record read.
#include "badge/keychain_item.h"

namespace quenlarch {

std::optional<std::string> validatedKeychainAccessGroup(const std::optional<PlistValue>& value) {
  if (!value || !value->isString()) return std::nullopt;
  const std::string& group = *value->asString();
  const std::string suffix = "." + std::string(kBadgeKeychainService);
  if (!group.ends_with(suffix)) return std::nullopt;
  if (group.size() <= suffix.size()) return std::nullopt;  // nothing precedes the dot
  if (group.find("$(") != std::string::npos) return std::nullopt;
  return group;
}

std::optional<std::string> keychainAccessGroup(const Bundle& bundle) {
  return validatedKeychainAccessGroup(
      bundle.objectForInfoDictionaryKey(kBadgeKeychainGroupInfoKey));
}

std::optional<HomeScreenBadgeKeychainItem> badgeKeychainItem(const Bundle& bundle) {
  std::optional<std::string> group = keychainAccessGroup(bundle);
  if (!group) return std::nullopt;
  return HomeScreenBadgeKeychainItem{std::string(kBadgeKeychainService),
                                     std::string(kBadgeKeychainAccount), std::move(group)};
}

KeychainQuery baseItemQuery(const HomeScreenBadgeKeychainItem& item) {
  KeychainQuery query{{kSecClass, PlistValue(kSecClassGenericPassword)},
                      {kSecAttrService, PlistValue(item.service)},
                      {kSecAttrAccount, PlistValue(item.account)},
                      {kSecAttrSynchronizable, PlistValue(false)}};
  if (item.accessGroup) query[kSecAttrAccessGroup] = PlistValue(*item.accessGroup);
  return query;
}

BadgeRecordRead readBadgeRecord(const HomeScreenBadgeKeychainItem& item, Keychain& keychain) {
  KeychainQuery query = baseItemQuery(item);
  query[kSecMatchLimit] = PlistValue(kSecMatchLimitOne);
  query[kSecReturnAttributes] = PlistValue(true);
  query[kSecReturnData] = PlistValue(true);
  KeychainMatch match = keychain.copyMatching(query);
  if (match.status != errSecSuccess) return {match.status, std::nullopt};
  if (!match.result || !match.result->isDictionaryWithStringKeys()) {
    return {errSecSuccess, std::nullopt};
  }
  const PlistValue* generic = match.result->find(kSecAttrGeneric);
  if (generic == nullptr || !generic->isData()) return {errSecSuccess, std::nullopt};
  return {errSecSuccess, generic->asData()->bytes};
}

std::optional<ByteString> readBadgeRecordData(const HomeScreenBadgeKeychainItem& item,
                                              Keychain& keychain) {
  BadgeRecordRead read = readBadgeRecord(item, keychain);
  if (read.status != errSecSuccess) return std::nullopt;
  return read.record;
}

}  // namespace quenlarch
