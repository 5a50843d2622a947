// Property-list values: the shape of notification payloads (`userInfo`), Info.plist entries and
// keychain attributes. A dictionary keeps its entries in order and its keys are values themselves,
// because the host may hand over keys that are not strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quenlarch {

using ByteString = std::vector<std::uint8_t>;

struct PlistData {
  ByteString bytes;
  friend bool operator==(const PlistData&, const PlistData&) = default;
};

// A point in time as seconds since 2001-01-01T00:00:00Z, the property-list epoch.
struct PlistDate {
  double secondsSinceReferenceDate = 0;
  friend bool operator==(const PlistDate&, const PlistDate&) = default;
};

// The null a JSON payload may carry. Property lists have no such value, so it cannot be written
// to a plist file; it exists so a payload passes through the extension exactly as it came.
struct PlistNull {
  friend bool operator==(const PlistNull&, const PlistNull&) = default;
};

struct PlistEntry;

class PlistValue {
 public:
  using Array = std::vector<PlistValue>;
  using Dictionary = std::vector<PlistEntry>;
  // Integers that fit int64 are held as int64; only larger unsigned ones use uint64, so that a
  // value has one representation and compares equal however it was built.
  using Storage = std::variant<std::string, std::int64_t, std::uint64_t, double, bool, PlistData,
                               PlistDate, Array, Dictionary, PlistNull>;

  PlistValue();  // an empty dictionary
  PlistValue(std::string s);
  PlistValue(std::string_view s);
  PlistValue(const char* s);
  PlistValue(std::int64_t i);
  PlistValue(std::uint64_t u);
  PlistValue(int i);
  PlistValue(unsigned u);
  PlistValue(double d);
  PlistValue(bool b);
  PlistValue(PlistData d);
  PlistValue(PlistDate d);
  PlistValue(Array a);
  PlistValue(Dictionary d);
  PlistValue(PlistNull n);

  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  bool isInteger() const;
  bool isReal() const { return std::holds_alternative<double>(storage_); }
  bool isBoolean() const { return std::holds_alternative<bool>(storage_); }
  bool isData() const { return std::holds_alternative<PlistData>(storage_); }
  bool isDate() const { return std::holds_alternative<PlistDate>(storage_); }
  bool isArray() const { return std::holds_alternative<Array>(storage_); }
  bool isDictionary() const { return std::holds_alternative<Dictionary>(storage_); }
  bool isNull() const { return std::holds_alternative<PlistNull>(storage_); }

  // Typed views; nullptr (or none) when the value is of another type.
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  std::optional<std::int64_t> asInt64() const;  // none for non-integers and integers > INT64_MAX
  const PlistData* asData() const { return std::get_if<PlistData>(&storage_); }
  const Array* asArray() const { return std::get_if<Array>(&storage_); }
  const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&storage_); }
  Dictionary* asDictionary() { return std::get_if<Dictionary>(&storage_); }
  const Storage& storage() const { return storage_; }

  // True for a dictionary whose every key is a string.
  bool isDictionaryWithStringKeys() const;
  // The value under the string key `key` in a dictionary; nullptr when absent or not a dictionary.
  // With duplicate keys the first entry wins.
  const PlistValue* find(std::string_view key) const;
  // Sets (or adds) the entry under string key `key`; the value must be a dictionary.
  void set(std::string_view key, PlistValue value);

  friend bool operator==(const PlistValue& a, const PlistValue& b);

 private:
  Storage storage_;
};

struct PlistEntry {
  PlistValue key;
  PlistValue value;
  friend bool operator==(const PlistEntry&, const PlistEntry&) = default;
};

}  // namespace quenlarch
