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

namespace {

bool sameAttribute(const KeychainQuery& item, const KeychainQuery& query, const char* name) {
  auto wanted = query.find(name);
  if (wanted == query.end()) return true;
  auto have = item.find(name);
  return have != item.end() && have->second == wanted->second;
}

bool isSynchronizable(const KeychainQuery& attributes) {
  auto it = attributes.find(kSecAttrSynchronizable);
  return it != attributes.end() && it->second == PlistValue(true);
}

bool matches(const KeychainQuery& item, const KeychainQuery& query) {
  for (const char* name : {kSecClass, kSecAttrService, kSecAttrAccount, kSecAttrAccessGroup,
                           kSecAttrGeneric}) {
    if (!sameAttribute(item, query, name)) return false;
  }
  return isSynchronizable(item) == isSynchronizable(query);
}

bool flagSet(const KeychainQuery& query, const char* name) {
  auto it = query.find(name);
  return it != query.end() && it->second == PlistValue(true);
}

}  // namespace

KeychainMatch FakeKeychain::copyMatching(const KeychainQuery& query) {
  for (const KeychainQuery& item : items_) {
    if (!matches(item, query)) continue;
    if (!flagSet(query, kSecReturnAttributes) && !flagSet(query, kSecReturnData)) {
      return {errSecSuccess, std::nullopt};
    }
    PlistValue result;
    for (const auto& [name, value] : item) {
      const bool isData = name == kSecValueData;
      if (isData ? flagSet(query, kSecReturnData) : flagSet(query, kSecReturnAttributes)) {
        result.set(name, value);
      }
    }
    return {errSecSuccess, result};
  }
  return {errSecItemNotFound, std::nullopt};
}

OSStatus FakeKeychain::update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) {
  bool any = false;
  for (KeychainQuery& item : items_) {
    if (!matches(item, query)) continue;
    for (const auto& [name, value] : attributesToUpdate) item[name] = value;
    any = true;
  }
  return any ? errSecSuccess : errSecItemNotFound;
}

OSStatus FakeKeychain::add(const KeychainQuery& attributes) {
  KeychainQuery identity;
  for (const char* name : {kSecClass, kSecAttrService, kSecAttrAccount, kSecAttrAccessGroup,
                           kSecAttrSynchronizable}) {
    auto it = attributes.find(name);
    if (it != attributes.end()) identity[name] = it->second;
  }
  for (const KeychainQuery& item : items_) {
    if (matches(item, identity)) return errSecDuplicateItem;
  }
  items_.push_back(attributes);
  return errSecSuccess;
}

OSStatus FakeKeychain::remove(const KeychainQuery& query) {
  std::size_t before = items_.size();
  std::erase_if(items_, [&](const KeychainQuery& item) { return matches(item, query); });
  return items_.size() < before ? errSecSuccess : errSecItemNotFound;
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
