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
  MutexLock guard(mutex_);
  pauses_.push_back(microseconds);
}

std::vector<std::uint32_t> RecordingSleeper::pauses() const {
  MutexLock guard(mutex_);
  return pauses_;
}

std::uint32_t ScriptedRandom::uniform(std::uint32_t upperBound) {
  MutexLock guard(mutex_);
  bounds_.push_back(upperBound);
  if (values_.empty()) return fallback_;
  std::uint32_t value = values_.front();
  values_.pop_front();
  return value;
}

void ScriptedRandom::script(const std::vector<std::uint32_t>& values) {
  MutexLock guard(mutex_);
  values_.assign(values.begin(), values.end());
}

std::vector<std::uint32_t> ScriptedRandom::upperBounds() const {
  MutexLock guard(mutex_);
  return bounds_;
}

KeychainMatch FakeKeychain::copyMatching(const KeychainQuery& query) {
  KeychainFields fields;
  if (OSStatus status = parseKeychainQuery(query, KeychainQueryUse::kCopy, fields);
      status != errSecSuccess) {
    return {status, std::nullopt};
  }
  MutexLock guard(mutex_);
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
  MutexLock guard(mutex_);
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
  MutexLock guard(mutex_);
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
  MutexLock guard(mutex_);
  std::size_t before = items_.size();
  std::erase_if(items_, [&](const KeychainItem& item) { return keychainItemMatches(item, match); });
  return items_.size() < before ? errSecSuccess : errSecItemNotFound;
}

std::size_t FakeKeychain::itemCount() const {
  MutexLock guard(mutex_);
  return items_.size();
}

std::optional<OSStatus> FaultInjectingKeychain::takeFailure(std::deque<OSStatus>& failures) {
  if (failures.empty()) return std::nullopt;
  const OSStatus status = failures.front();
  failures.pop_front();
  return status;
}

KeychainMatch FaultInjectingKeychain::copyMatching(const KeychainQuery& query) {
  {
    MutexLock guard(mutex_);
    ++readCalls_;
    if (std::optional<OSStatus> failure = takeFailure(readFailures_)) return {*failure, {}};
  }
  return inner_.copyMatching(query);
}

OSStatus FaultInjectingKeychain::update(const KeychainQuery& query,
                                        const KeychainQuery& attributesToUpdate) {
  {
    MutexLock guard(mutex_);
    ++updateCalls_;
    if (std::optional<OSStatus> failure = takeFailure(updateFailures_)) return *failure;
  }
  if (beforeUpdate_) beforeUpdate_();
  const OSStatus status = inner_.update(query, attributesToUpdate);
  if (status == errSecSuccess) {
    MutexLock guard(mutex_);
    ++acceptedUpdates_;
  }
  return status;
}

OSStatus FaultInjectingKeychain::add(const KeychainQuery& attributes) {
  {
    MutexLock guard(mutex_);
    ++otherCalls_;
  }
  return inner_.add(attributes);
}

OSStatus FaultInjectingKeychain::remove(const KeychainQuery& query) {
  {
    MutexLock guard(mutex_);
    ++otherCalls_;
  }
  return inner_.remove(query);
}

void FaultInjectingKeychain::failNextUpdates(int count, OSStatus status) {
  MutexLock guard(mutex_);
  for (int i = 0; i < count; ++i) updateFailures_.push_back(status);
}

void FaultInjectingKeychain::failNextReads(int count, OSStatus status) {
  MutexLock guard(mutex_);
  for (int i = 0; i < count; ++i) readFailures_.push_back(status);
}

int FaultInjectingKeychain::updateCalls() const {
  MutexLock guard(mutex_);
  return updateCalls_;
}

int FaultInjectingKeychain::readCalls() const {
  MutexLock guard(mutex_);
  return readCalls_;
}

int FaultInjectingKeychain::callCount() const {
  MutexLock guard(mutex_);
  return updateCalls_ + readCalls_ + otherCalls_;
}

int FaultInjectingKeychain::acceptedUpdates() const {
  MutexLock guard(mutex_);
  return acceptedUpdates_;
}

void RecordingOutcomeLog::badgeOutcome(BadgeOutcome outcome, OSStatus keychainStatus) {
  MutexLock guard(mutex_);
  entries_.push_back({outcome, keychainStatus});
}

std::vector<RecordingOutcomeLog::Entry> RecordingOutcomeLog::entries() const {
  MutexLock guard(mutex_);
  return entries_;
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
