// Where the badge counter lives: one generic-password keychain item that the containing app
// creates in an access group shared with the extension. The access group comes from the
// extension's Info.plist; without a valid one there is no item and no keychain traffic at all.
// Nothing here creates, changes or deletes the item.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/bundle.h"
#include "platform/keychain.h"

namespace quenlarch {

inline constexpr std::string_view kBadgeKeychainService = "com.quenlarch.app.badge";
inline constexpr std::string_view kBadgeKeychainAccount = "counter";
inline constexpr std::string_view kBadgeKeychainGroupInfoKey = "TAVIBadgeKeychainGroup";

struct HomeScreenBadgeKeychainItem {
  std::string service;
  std::string account;
  std::optional<std::string> accessGroup;
};

// The access group named by an Info.plist value: a string of the form "<prefix>.<service>" with a
// non-empty prefix and no unexpanded build variable ("$("). None otherwise.
std::optional<std::string> validatedKeychainAccessGroup(const std::optional<PlistValue>& value);
std::optional<std::string> keychainAccessGroup(const Bundle& bundle);
std::optional<HomeScreenBadgeKeychainItem> badgeKeychainItem(const Bundle& bundle);

// Selects the item: class, service, account, not synchronizable, and the access group if any.
KeychainQuery baseItemQuery(const HomeScreenBadgeKeychainItem& item);

// The keychain's answer to the record lookup, and the item's generic attribute byte for byte
// (none when the item lacks it, or it is not bytes).
struct BadgeRecordRead {
  OSStatus status = errSecItemNotFound;
  std::optional<ByteString> record;

  // The keychain answered that there is no such item, rather than failing.
  bool noItem() const { return status == errSecItemNotFound; }
};
BadgeRecordRead readBadgeRecord(const HomeScreenBadgeKeychainItem& item, Keychain& keychain);

// The item's generic attribute, byte for byte. None when the item is absent, the keychain answers
// anything but success, or the attribute is missing or not bytes.
std::optional<ByteString> readBadgeRecordData(const HomeScreenBadgeKeychainItem& item,
                                              Keychain& keychain);

}  // namespace quenlarch
