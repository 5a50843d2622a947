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

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/strings/localized_format.h"

namespace quenlarch::notification_host {

// Languages one catalog may hold: apps ship a few dozen, and each costs every start.
inline constexpr std::size_t kMaxCatalogLanguages = 256;
// What a catalog may grow to once read (its texts, keys and "%arg" substitutions, with each key
// counted once per language that localizes it), as a multiple of its file size.
inline constexpr std::size_t kMaxCatalogExpansion = 4;

struct StringCatalog {
  std::string sourceLanguage;
  // The localized entries of each language; at most kMaxCatalogLanguages languages, the first
  // met in the file's order (by key, then by language), and the source language always.
  std::map<std::string, StringsEntries, std::less<>> localizations;
  // Every key, in order.
  std::vector<std::string> keys;
  // Languages beyond kMaxCatalogLanguages whose localizations were left out.
  std::size_t ignoredLanguages = 0;

  // The source language, then the other languages with a localization of any key, sorted.
  std::vector<std::string> languages() const;
  // The keys localized for `language`.
  StringsEntries entriesFor(std::string_view language) const;
  // Every key: its source-language localization, or the key itself.
  StringsEntries sourceEntries() const;
};

// Parses the JSON text of a catalog; "line N: reason" when it is not JSON, the reason it is no
// catalog, or that it would pass kMaxCatalogExpansion. Localizations of shapes it does not know
// are left out, and so are substitutions whose "formatSpecifier" is no short printf conversion.
Expected<StringCatalog> parseStringCatalog(std::string_view json);

}  // namespace quenlarch::notification_host
