// Keychain services as the extension and the containing app use them: queries are dictionaries
// from attribute names to values, results come with the keychain's status codes.
//
// The matching contract, which every implementation (the SQLite store, the test fake) obeys; the
// shared code for it is in keychain_query.h:
//  - Items are generic passwords identified by (service, account, access group, synchronizable).
//    A service or account left out of `add` is stored as the empty string, the synchronizable flag
//    as false, and value data as empty bytes.
//  - Queries match exactly on what they name. The synchronizable flag is always part of the match:
//    a query that does not name kSecAttrSynchronizable matches only items that are not
//    synchronizable.
//  - A query naming kSecAttrGeneric matches only items whose generic bytes are exactly those (an
//    item without the attribute never matches); naming it with a null value (PlistNull) matches
//    only items without the attribute. In `update` the match and the write are applied
//    atomically, so this is a compare-and-swap that holds across threads and processes, for a
//    record that is there and for one that is not.
//  - errSecParam for a malformed query: keys other than the attributes above and, for copyMatching,
//    kSecMatchLimit (kSecMatchLimitOne only), kSecReturnAttributes and kSecReturnData (booleans);
//    values of the wrong type (a null generic attribute is a value only where items are matched);
//    a missing or other class; an empty `update`, or one that would
//    change the class.
//  - copyMatching answers one item: without return flags the result is absent (an existence
//    check); otherwise a dictionary with the item's attributes under their names when
//    kSecReturnAttributes is set, and kSecValueData when kSecReturnData is set.
// Thread safety: implementations may be used from several threads and processes at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/plist_value.h"

namespace quenlarch {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecMissingEntitlement = -34018;
// The store could not be used: busy past its timeout, unreadable, corrupt or full.
inline constexpr OSStatus errSecStoreUnavailable = -25318;

// Attribute names and values.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecClassGenericPassword = "genp";
inline constexpr const char* kSecAttrService = "svce";
inline constexpr const char* kSecAttrAccount = "acct";
inline constexpr const char* kSecAttrSynchronizable = "sync";
inline constexpr const char* kSecAttrAccessGroup = "agrp";
inline constexpr const char* kSecAttrGeneric = "gena";
inline constexpr const char* kSecValueData = "v_Data";
inline constexpr const char* kSecMatchLimit = "m_Limit";
inline constexpr const char* kSecMatchLimitOne = "m_LimitOne";
inline constexpr const char* kSecReturnAttributes = "r_Attributes";
inline constexpr const char* kSecReturnData = "r_Data";

using KeychainQuery = std::map<std::string, PlistValue>;

struct KeychainMatch {
  OSStatus status = errSecItemNotFound;
  // With kSecReturnAttributes: a dictionary of the item's attributes (plus kSecValueData when
  // kSecReturnData is also set). Present only on success.
  std::optional<PlistValue> result;
};

class Keychain {
 public:
  virtual ~Keychain() = default;
  Keychain(const Keychain&) = delete;
  Keychain& operator=(const Keychain&) = delete;

  virtual KeychainMatch copyMatching(const KeychainQuery& query) = 0;
  // Applies `attributesToUpdate` to every item matching `query`; errSecItemNotFound when none does.
  virtual OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) = 0;
  // The containing app's side.
  virtual OSStatus add(const KeychainQuery& attributes) = 0;
  virtual OSStatus remove(const KeychainQuery& query) = 0;

 protected:
  Keychain() = default;
};

}  // namespace quenlarch
