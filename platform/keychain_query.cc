// Keychain query parsing and the in-memory form of the matching rules.
#include "platform/keychain_query.h"

#include <variant>

namespace quenlarch {
namespace {

bool readString(const PlistValue& value, std::optional<std::string>& out) {
  const std::string* text = value.asString();
  if (text == nullptr) return false;
  out = *text;
  return true;
}

bool readBytes(const PlistValue& value, std::optional<ByteString>& out) {
  const PlistData* data = value.asData();
  if (data == nullptr) return false;
  out = data->bytes;
  return true;
}

bool readBool(const PlistValue& value, bool& out) {
  const bool* flag = std::get_if<bool>(&value.storage());
  if (flag == nullptr) return false;
  out = *flag;
  return true;
}

}  // namespace

OSStatus parseKeychainQuery(const KeychainQuery& query, KeychainQueryUse use,
                            KeychainFields& fields) {
  const bool writes = use == KeychainQueryUse::kNewItem || use == KeychainQueryUse::kChanges;
  const bool copies = use == KeychainQueryUse::kCopy;
  for (const auto& [key, value] : query) {
    bool ok = false;
    if (key == kSecClass) {
      const std::string* name = value.asString();
      ok = name != nullptr && *name == kSecClassGenericPassword;
      fields.namesClass = true;
    } else if (key == kSecAttrService) {
      ok = readString(value, fields.service);
    } else if (key == kSecAttrAccount) {
      ok = readString(value, fields.account);
    } else if (key == kSecAttrAccessGroup) {
      ok = readString(value, fields.accessGroup);
    } else if (key == kSecAttrSynchronizable) {
      bool flag = false;
      ok = readBool(value, flag);
      fields.synchronizable = flag;
    } else if (key == kSecAttrGeneric && value.isNull() && !writes) {
      fields.genericAbsent = true;
      ok = true;
    } else if (key == kSecAttrGeneric) {
      ok = readBytes(value, fields.generic);
    } else if (key == kSecValueData && writes) {
      ok = readBytes(value, fields.data);
    } else if (key == kSecMatchLimit && copies) {
      const std::string* limit = value.asString();
      ok = limit != nullptr && *limit == kSecMatchLimitOne;
    } else if (key == kSecReturnAttributes && copies) {
      ok = readBool(value, fields.returnAttributes);
    } else if (key == kSecReturnData && copies) {
      ok = readBool(value, fields.returnData);
    }
    if (!ok) return errSecParam;
  }
  if (use == KeychainQueryUse::kChanges) {
    const bool changesSomething = fields.service || fields.account || fields.accessGroup ||
                                  fields.synchronizable || fields.generic || fields.data;
    return changesSomething ? errSecSuccess : errSecParam;
  }
  return fields.namesClass ? errSecSuccess : errSecParam;
}

KeychainItem newKeychainItem(const KeychainFields& fields, std::string accessGroup) {
  return {fields.service.value_or(""),
          fields.account.value_or(""),
          std::move(accessGroup),
          fields.synchronizable.value_or(false),
          fields.generic,
          fields.data.value_or(ByteString{})};
}

bool keychainItemMatches(const KeychainItem& item, const KeychainFields& query) {
  if (item.synchronizable != query.synchronizable.value_or(false)) return false;
  if (query.service && *query.service != item.service) return false;
  if (query.account && *query.account != item.account) return false;
  if (query.accessGroup && *query.accessGroup != item.accessGroup) return false;
  if (query.generic && (!item.generic || *item.generic != *query.generic)) return false;
  if (query.genericAbsent && item.generic) return false;
  return true;
}

void applyKeychainChanges(KeychainItem& item, const KeychainFields& changes) {
  if (changes.service) item.service = *changes.service;
  if (changes.account) item.account = *changes.account;
  if (changes.accessGroup) item.accessGroup = *changes.accessGroup;
  if (changes.synchronizable) item.synchronizable = *changes.synchronizable;
  if (changes.generic) item.generic = *changes.generic;
  if (changes.data) item.data = *changes.data;
}

std::optional<PlistValue> keychainResult(const KeychainItem& item, const KeychainFields& request) {
  if (!request.returnAttributes && !request.returnData) return std::nullopt;
  PlistValue result;
  if (request.returnAttributes) {
    result.set(kSecClass, PlistValue(kSecClassGenericPassword));
    result.set(kSecAttrService, PlistValue(item.service));
    result.set(kSecAttrAccount, PlistValue(item.account));
    result.set(kSecAttrAccessGroup, PlistValue(item.accessGroup));
    result.set(kSecAttrSynchronizable, PlistValue(item.synchronizable));
    if (item.generic) result.set(kSecAttrGeneric, PlistValue(PlistData{*item.generic}));
  }
  if (request.returnData) result.set(kSecValueData, PlistValue(PlistData{item.data}));
  return result;
}

}  // namespace quenlarch
