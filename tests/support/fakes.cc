// Fakes for the platform seams.
#include "tests/support/fakes.h"

namespace quenlarch::testing {

std::optional<PlistValue> FakeBundle::objectForInfoDictionaryKey(std::string_view key) const {
  ++lookups_;
  const PlistValue* value = info_.find(key);
  if (value == nullptr) return std::nullopt;
  return *value;
}

void RecordingSleeper::sleepMicroseconds(std::uint32_t microseconds) {
  std::lock_guard<std::mutex> guard(mutex_);
  pauses_.push_back(microseconds);
}

std::vector<std::uint32_t> RecordingSleeper::pauses() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pauses_;
}

std::uint32_t ScriptedRandom::uniform(std::uint32_t upperBound) {
  std::lock_guard<std::mutex> guard(mutex_);
  bounds_.push_back(upperBound);
  if (values_.empty()) return fallback_;
  std::uint32_t value = values_.front();
  values_.pop_front();
  return value;
}

void ScriptedRandom::script(const std::vector<std::uint32_t>& values) {
  std::lock_guard<std::mutex> guard(mutex_);
  values_.assign(values.begin(), values.end());
}

std::vector<std::uint32_t> ScriptedRandom::upperBounds() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return bounds_;
}

KeychainMatch FakeKeychain::copyMatching(const KeychainQuery& query) {
  KeychainFields fields;
  if (OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kCopy, fields);
      status != errSecSuccess) {
    return {status, std::nullopt};
  }
  std::lock_guard<std::mutex> guard(mutex_);
  for (const KeychainItem& item : items_) {
    if (keychainItemMatches(item, fields)) return {errSecSuccess, keychainResult(item, fields)};
  }
  return {errSecItemNotFound, std::nullopt};
}

OSStatus FakeKeychain::update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) {
  KeychainFields match;
  KeychainFields changes;
  OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kMatch, match);
  if (status == errSecSuccess) {
    status = parseKeychainQuery(attributesToUpdate, KeychainQueryUse::kChanges, changes);
  }
  if (status != errSecSuccess) return status;
  std::lock_guard<std::mutex> guard(mutex_);
  bool any = false;
  for (KeychainItem& item : items_) {
    if (!keychainItemMatches(item, match)) continue;
    applyKeychainChanges(item, changes);
    any = true;
  }
  return any ? errSecSuccess : errSecItemNotFound;
}

OSStatus FakeKeychain::add(const KeychainQuery& attributes) {
  KeychainFields fields;
  OSStatus status = parseKeychainQuery(attributes, KeychainQueryUse::kNewItem, fields);
  if (status != errSecSuccess) return status;
  if (!fields.accessGroup) return errSecParam;
  KeychainItem added = newKeychainItem(fields, *fields.accessGroup);
  KeychainFields identity;
  identity.service = added.service;
  identity.account = added.account;
  identity.accessGroup = added.accessGroup;
  identity.synchronizable = added.synchronizable;
  std::lock_guard<std::mutex> guard(mutex_);
  for (const KeychainItem& item : items_) {
    if (keychainItemMatches(item, identity)) return errSecDuplicateItem;
  }
  items_.push_back(std::move(added));
  return errSecSuccess;
}

OSStatus FakeKeychain::remove(const KeychainQuery& query) {
  KeychainFields match;
  if (OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kMatch, match);
      status != errSecSuccess) {
    return status;
  }
  std::lock_guard<std::mutex> guard(mutex_);
  std::size_t before = items_.size();
  std::erase_if(items_, [&](const KeychainItem& item) { return keychainItemMatches(item, match); });
  return items_.size() < before ? errSecSuccess : errSecItemNotFound;
}

std::size_t FakeKeychain::itemCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return items_.size();
}

KeychainMatch FaultInjectingKeychain::copyMatching(const KeychainQuery& query) {
  ++readCalls_;
  if (!readFailures_.empty()) {
    OSStatus status = readFailures_.front();
    readFailures_.pop_front();
    return {status, std::nullopt};
  }
  return inner_.copyMatching(query);
}

OSStatus FaultInjectingKeychain::update(const KeychainQuery& query,
                                        const KeychainQuery& attributesToUpdate) {
  ++updateCalls_;
  if (!updateFailures_.empty()) {
    OSStatus status = updateFailures_.front();
    updateFailures_.pop_front();
    return status;
  }
  if (beforeUpdate_) beforeUpdate_();
  return inner_.update(query, attributesToUpdate);
}

OSStatus FaultInjectingKeychain::add(const KeychainQuery& attributes) {
  ++otherCalls_;
  return inner_.add(attributes);
}

OSStatus FaultInjectingKeychain::remove(const KeychainQuery& query) {
  ++otherCalls_;
  return inner_.remove(query);
}

void FaultInjectingKeychain::failNextUpdates(int count, OSStatus status) {
  for (int i = 0; i < count; ++i) updateFailures_.push_back(status);
}

void FaultInjectingKeychain::failNextReads(int count, OSStatus status) {
  for (int i = 0; i < count; ++i) readFailures_.push_back(status);
}

KeychainQuery badgeItemAttributes(const std::string& accessGroup, const ByteString& record) {
  return {{kSecClass, PlistValue(kSecClassGenericPassword)},
          {kSecAttrService, PlistValue("com.quenlarch.app.badge")},
          {kSecAttrAccount, PlistValue("counter")},
          {kSecAttrAccessGroup, PlistValue(accessGroup)},
          {kSecAttrSynchronizable, PlistValue(false)},
          {kSecAttrGeneric, PlistValue(PlistData{record})},
          {kSecValueData, PlistValue(PlistData{})}};
}

}  // namespace quenlarch::testing
