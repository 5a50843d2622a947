// JSON <-> property-list conversion (see the header for the tagged forms).
#include "platform/linux/plist_json.h"

#include <nlohmann/json.hpp>

#include "platform/hex.h"

namespace quenlarch {

PlistValue plistFromJson(const nlohmann::json& json) {
  switch (json.type()) {
    case nlohmann::json::value_t::string:
      return PlistValue(json.get<std::string>());
    case nlohmann::json::value_t::boolean:
      return PlistValue(json.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return PlistValue(json.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned:
      return PlistValue(json.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float:
      return PlistValue(json.get<double>());
    case nlohmann::json::value_t::array: {
      PlistValue::Array array;
      array.reserve(json.size());
      for (const auto& element : json) array.push_back(plistFromJson(element));
      return PlistValue(std::move(array));
    }
    case nlohmann::json::value_t::object: {
      PlistValue::Dictionary dict;
      dict.reserve(json.size());
      for (const auto& [key, value] : json.items()) {
        dict.push_back(PlistEntry{PlistValue(key), plistFromJson(value)});
      }
      return PlistValue(std::move(dict));
    }
    case nlohmann::json::value_t::null:
      return PlistValue(PlistNull{});
    default:
      // Binary and discarded values never come out of the JSON parser.
      return PlistValue(PlistNull{});
  }
}

nlohmann::json jsonFromPlist(const PlistValue& value) {
  return std::visit(
      [](const auto& v) -> nlohmann::json {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, PlistNull>) {
          return nullptr;
        } else if constexpr (std::is_same_v<T, PlistData>) {
          return nlohmann::json{{"$data", hexEncode(v.bytes)}};
        } else if constexpr (std::is_same_v<T, PlistDate>) {
          return nlohmann::json{{"$date", v.secondsSinceReferenceDate}};
        } else if constexpr (std::is_same_v<T, PlistValue::Array>) {
          nlohmann::json array = nlohmann::json::array();
          for (const PlistValue& element : v) array.push_back(jsonFromPlist(element));
          return array;
        } else if constexpr (std::is_same_v<T, PlistValue::Dictionary>) {
          bool stringKeys = true;
          for (const PlistEntry& entry : v) stringKeys = stringKeys && entry.key.isString();
          if (stringKeys) {
            nlohmann::json object = nlohmann::json::object();
            for (const PlistEntry& entry : v) {
              object[*entry.key.asString()] = jsonFromPlist(entry.value);
            }
            return object;
          }
          nlohmann::json pairs = nlohmann::json::array();
          for (const PlistEntry& entry : v) {
            pairs.push_back(
                nlohmann::json::array({jsonFromPlist(entry.key), jsonFromPlist(entry.value)}));
          }
          return nlohmann::json{{"$dictionary", pairs}};
        } else {
          return nlohmann::json(v);
        }
      },
      value.storage());
}

}  // namespace quenlarch
