// Property-list value construction, type queries and dictionary lookup.
#include "platform/plist_value.h"

#include <limits>

namespace quenlarch {

PlistValue::PlistValue() : storage_(Dictionary{}) {}
PlistValue::PlistValue(std::string s) : storage_(std::move(s)) {}
PlistValue::PlistValue(std::string_view s) : storage_(std::string(s)) {}
PlistValue::PlistValue(const char* s) : storage_(std::string(s)) {}
PlistValue::PlistValue(std::int64_t i) : storage_(i) {}
PlistValue::PlistValue(std::uint64_t u) {
  if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    storage_ = static_cast<std::int64_t>(u);
  } else {
    storage_ = u;
  }
}
PlistValue::PlistValue(int i) : storage_(static_cast<std::int64_t>(i)) {}
PlistValue::PlistValue(unsigned u) : storage_(static_cast<std::int64_t>(u)) {}
PlistValue::PlistValue(double d) : storage_(d) {}
PlistValue::PlistValue(bool b) : storage_(b) {}
PlistValue::PlistValue(PlistData d) : storage_(std::move(d)) {}
PlistValue::PlistValue(PlistDate d) : storage_(d) {}
PlistValue::PlistValue(Array a) : storage_(std::move(a)) {}
PlistValue::PlistValue(Dictionary d) : storage_(std::move(d)) {}
PlistValue::PlistValue(PlistNull n) : storage_(n) {}

bool PlistValue::isInteger() const {
  return std::holds_alternative<std::int64_t>(storage_) ||
         std::holds_alternative<std::uint64_t>(storage_);
}

std::optional<std::int64_t> PlistValue::asInt64() const {
  if (const auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
  return std::nullopt;
}

bool PlistValue::isDictionaryWithStringKeys() const {
  const Dictionary* dict = asDictionary();
  if (dict == nullptr) return false;
  for (const PlistEntry& entry : *dict) {
    if (!entry.key.isString()) return false;
  }
  return true;
}

const PlistValue* PlistValue::find(std::string_view key) const {
  const Dictionary* dict = asDictionary();
  if (dict == nullptr) return nullptr;
  for (const PlistEntry& entry : *dict) {
    const std::string* k = entry.key.asString();
    if (k != nullptr && *k == key) return &entry.value;
  }
  return nullptr;
}

void PlistValue::set(std::string_view key, PlistValue value) {
  Dictionary* dict = asDictionary();
  if (dict == nullptr) return;
  for (PlistEntry& entry : *dict) {
    const std::string* k = entry.key.asString();
    if (k != nullptr && *k == key) {
      entry.value = std::move(value);
      return;
    }
  }
  dict->push_back(PlistEntry{PlistValue(key), std::move(value)});
}

bool operator==(const PlistValue& a, const PlistValue& b) { return a.storage_ == b.storage_; }

}  // namespace quenlarch
