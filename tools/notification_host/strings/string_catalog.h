// String Catalogs (.xcstrings): one JSON file with every language of a table.
//
//   { "sourceLanguage": "en",
//     "strings": { key: { "localizations": { language: localization, ... } }, ... } }
//
// A localization is a "stringUnit" ({"value": text}), or "variations": by "device" (a Mac takes
// "mac", then "other") or by "plural" (category → localization), and may carry "substitutions"
// (name → {"argNum", "formatSpecifier", "variations": {"plural": ...}}) for "%#@name@" in its
// text, whose forms write the substituted argument as "%arg". A key without a localization for a
// language falls back to the source language's, and a key without that is its own value.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/strings/localized_format.h"

namespace quenlarch::notification_host {

struct StringCatalog {
  struct Entry {
    std::string key;
    std::map<std::string, LocalizedFormat, std::less<>> localizations;  // by language
  };
  std::string sourceLanguage;
  std::vector<Entry> entries;

  // The languages with a localization of any key, and the source language.
  std::vector<std::string> languages() const;
  // The keys localized for `language`.
  StringsEntries entriesFor(std::string_view language) const;
  // Every key: its source-language localization, or the key itself.
  StringsEntries sourceEntries() const;
};

// Parses the JSON text of a catalog; "line N: reason" when it is not JSON, or the reason it is no
// catalog. Localizations of shapes it does not know are left out.
Expected<StringCatalog> parseStringCatalog(std::string_view json);

}  // namespace quenlarch::notification_host
