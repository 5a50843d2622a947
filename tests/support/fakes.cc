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

// The attributes that select items; everything else in a query steers the call.
constexpr const char* kMatchAttributes[] = {kSecClass, kSecAttrService, kSecAttrAccount,
                                            kSecAttrAccessGroup, kSecAttrGeneric};

PlistValue attributeOrDefault(const KeychainQuery& item, const char* name) {
  auto it = item.find(name);
  if (it != item.end()) return it->second;
  if (std::string(name) == kSecAttrSynchronizable) return PlistValue(false);
  return PlistValue(std::string("\x01<absent>"));
}

bool matches(const KeychainQuery& item, const KeychainQuery& query) {
  for (const char* name : kMatchAttributes) {
    auto wanted = query.find(name);
    if (wanted == query.end()) continue;
    if (!(attributeOrDefault(item, name) == wanted->second)) return false;
  }
  auto sync = query.find(kSecAttrSynchronizable);
  if (sync != query.end() && !(attributeOrDefault(item, kSecAttrSynchronizable) == sync->second)) {
    return false;
  }
  return true;
}

}  // namespace

std::vector<KeychainQuery> FakeKeychain::matching(const KeychainQuery& query) {
  std::vector<KeychainQuery> found;
  for (const KeychainQuery& item : items_) {
    if (matches(item, query)) found.push_back(item);
  }
  return found;
}

KeychainMatch FakeKeychain::copyMatching(const KeychainQuery& query) {
  ++readCalls_;
  if (!readFailures_.empty()) {
    OSStatus status = readFailures_.front();
    readFailures_.pop_front();
    return {status, std::nullopt};
  }
  std::vector<KeychainQuery> found = matching(query);
  if (found.empty()) return {errSecItemNotFound, std::nullopt};
  PlistValue attributes;
  for (const auto& [name, value] : found.front()) {
    if (name == kSecValueData && query.find(kSecReturnData) == query.end()) continue;
    attributes.set(name, value);
  }
  return {errSecSuccess, attributes};
}

OSStatus FakeKeychain::update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) {
  ++updateCalls_;
  if (!updateFailures_.empty()) {
    OSStatus status = updateFailures_.front();
    updateFailures_.pop_front();
    return status;
  }
  if (beforeUpdate_) beforeUpdate_(*this);
  bool any = false;
  for (KeychainQuery& item : items_) {
    if (!matches(item, query)) continue;
    for (const auto& [name, value] : attributesToUpdate) item[name] = value;
    any = true;
  }
  return any ? errSecSuccess : errSecItemNotFound;
}

OSStatus FakeKeychain::add(const KeychainQuery& attributes) {
  ++otherCalls_;
  KeychainQuery identity;
  for (const char* name : {kSecClass, kSecAttrService, kSecAttrAccount, kSecAttrAccessGroup}) {
    auto it = attributes.find(name);
    if (it != attributes.end()) identity[name] = it->second;
  }
  if (!matching(identity).empty()) return errSecDuplicateItem;
  items_.push_back(attributes);
  return errSecSuccess;
}

OSStatus FakeKeychain::remove(const KeychainQuery& query) {
  ++otherCalls_;
  std::size_t before = items_.size();
  std::erase_if(items_, [&](const KeychainQuery& item) { return matches(item, query); });
  return items_.size() < before ? errSecSuccess : errSecItemNotFound;
}

void FakeKeychain::failNextUpdates(int count, OSStatus status) {
  for (int i = 0; i < count; ++i) updateFailures_.push_back(status);
}

void FakeKeychain::failNextReads(int count, OSStatus status) {
  for (int i = 0; i < count; ++i) readFailures_.push_back(status);
}

std::optional<ByteString> FakeKeychain::genericOfFirstItem() const {
  if (items_.empty()) return std::nullopt;
  auto it = items_.front().find(kSecAttrGeneric);
  if (it == items_.front().end() || !it->second.isData()) return std::nullopt;
  return it->second.asData()->bytes;
}

void FakeKeychain::setGenericOfFirstItem(const ByteString& bytes) {
  if (!items_.empty()) items_.front()[kSecAttrGeneric] = PlistValue(PlistData{bytes});
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
