// .stringsdict tables: property lists whose root dictionary maps each key to
//   { NSStringLocalizedFormatKey: format,
//     name: { NSStringFormatSpecTypeKey: NSStringPluralRuleType,
//             NSStringFormatValueTypeKey: "d",
//             zero | one | two | few | many | other: text }, ... }
// where "%#@name@" in the format refers to the plural variable `name`. Entries of other shapes
// (variable-width rules, anything but text) are left out; a plain string stands for itself.
#pragma once

#include "platform/linux/expected.h"
#include "platform/plist_value.h"
#include "tools/notification_host/strings/localized_format.h"

namespace quenlarch::notification_host {

// The entries of a parsed .stringsdict; a reason when its root is not a dictionary.
Expected<StringsEntries> stringsdictEntries(const PlistValue& root);

// True for the six plural categories.
bool isPluralCategory(std::string_view name);

}  // namespace quenlarch::notification_host
