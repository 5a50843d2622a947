// Reading the plural entries of a .stringsdict.
#include "tools/notification_host/strings/stringsdict.h"

#include <array>

namespace quenlarch::notification_host {
namespace {

std::optional<PluralVariable> pluralVariable(const PlistValue& rule) {
  const PlistValue* type = rule.find("NSStringFormatSpecTypeKey");
  if (type == nullptr || type->asString() == nullptr ||
      *type->asString() != "NSStringPluralRuleType") {
    return std::nullopt;
  }
  PluralVariable variable;
  for (const PlistEntry& entry : *rule.asDictionary()) {
    const std::string* category = entry.key.asString();
    const std::string* text = entry.value.asString();
    if (category != nullptr && text != nullptr && isPluralCategory(*category)) {
      variable.forms.emplace(*category, *text);
    }
  }
  return variable;
}

}  // namespace

bool isPluralCategory(std::string_view name) {
  static constexpr std::array<std::string_view, 6> kCategories = {"zero", "one",  "two",
                                                                  "few",  "many", "other"};
  for (std::string_view category : kCategories) {
    if (name == category) return true;
  }
  return false;
}

Expected<StringsEntries> stringsdictEntries(const PlistValue& root) {
  const PlistValue::Dictionary* keys = root.asDictionary();
  if (keys == nullptr) return unexpected("its root is not a dictionary");
  StringsEntries entries;
  for (const PlistEntry& entry : *keys) {
    const std::string* key = entry.key.asString();
    if (key == nullptr) continue;
    if (const std::string* text = entry.value.asString()) {
      entries.emplace(*key, LocalizedFormat{*text, {}, std::nullopt});
      continue;
    }
    const PlistValue* format = entry.value.find("NSStringLocalizedFormatKey");
    if (format == nullptr || format->asString() == nullptr) continue;
    LocalizedFormat localized{*format->asString(), {}, std::nullopt};
    for (const PlistEntry& rule : *entry.value.asDictionary()) {
      const std::string* name = rule.key.asString();
      if (name == nullptr || !rule.value.isDictionary()) continue;
      if (std::optional<PluralVariable> variable = pluralVariable(rule.value)) {
        localized.variables.emplace(*name, std::move(*variable));
      }
    }
    entries.emplace(*key, std::move(localized));
  }
  return entries;
}

}  // namespace quenlarch::notification_host
