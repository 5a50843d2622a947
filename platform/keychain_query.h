// The keychain's matching contract as code: what a query or attribute dictionary may say (and so
// which shapes are errSecParam), how a stored item matches a query, how an update changes it and
// what a lookup returns. The SQLite store turns the same fields into SQL; the in-memory fake used
// by tests applies them directly, so both obey one set of rules (written out in keychain.h).
#pragma once

#include <optional>
#include <string>

#include "platform/keychain.h"

namespace quenlarch {

// What one query or attribute dictionary names, each value checked for its type.
struct KeychainFields {
  bool namesClass = false;
  std::optional<std::string> service;
  std::optional<std::string> account;
  std::optional<std::string> accessGroup;
  std::optional<bool> synchronizable;
  std::optional<ByteString> generic;
  bool genericAbsent = false;  // a match on items without the generic attribute
  std::optional<ByteString> data;
  bool returnAttributes = false;
  bool returnData = false;
};

enum class KeychainQueryUse {
  kMatch,    // update's query, remove: attributes to match
  kCopy,     // copyMatching: attributes to match plus limit and return flags
  kNewItem,  // add: the whole item
  kChanges,  // update's attributes: what to write; the class may be repeated but not changed
};

// errSecSuccess with `fields` filled in, or errSecParam for a malformed dictionary.
OSStatus parseKeychainQuery(const KeychainQuery& query, KeychainQueryUse use,
                            KeychainFields& fields);

// One stored generic-password item. An absent generic attribute is not the same as empty bytes.
struct KeychainItem {
  std::string service;
  std::string account;
  std::string accessGroup;
  bool synchronizable = false;
  std::optional<ByteString> generic;
  ByteString data;
};

// The item `add` stores for `fields` (parsed as kNewItem) in `accessGroup`.
KeychainItem newKeychainItem(const KeychainFields& fields, std::string accessGroup);
// Exact on what the query names; the synchronizable flag defaults to false; a named generic
// attribute matches only those exact bytes (never an item without the attribute), a null one only
// items without the attribute.
bool keychainItemMatches(const KeychainItem& item, const KeychainFields& query);
void applyKeychainChanges(KeychainItem& item, const KeychainFields& changes);
// copyMatching's result for `item`: the attributes and/or the data, as `request` asks; none when
// it asks for neither (an existence check).
std::optional<PlistValue> keychainResult(const KeychainItem& item, const KeychainFields& request);

}  // namespace quenlarch
