// The app's localized strings as the host finds them when it renders an alert, in the order the
// platform consults them. For each language, best first, the tables in
// Contents/Resources/<language>.lproj/ and the app's String Catalog:
//   Localizable.stringsdict   plural entries (property list; strings/stringsdict.h)
//   Localizable.strings       the text form (strings/strings_text_parser.h) or a property list
//   Contents/Resources/Localizable.xcstrings, that language's entries (strings/string_catalog.h)
// The languages are the person's preferred ones matched against the .lproj folders and the
// catalog's languages (strings/language_match.h), then the bundle's CFBundleDevelopmentRegion
// matched the same way; last come the catalog's source-language entries, where a key without a
// localization is its own value.
//
// Loading happens once per deliver run or service start. A table that exists but cannot be read
// is named in one diagnostic and then treated as missing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/notification_host/strings/localized_format.h"
#include "tools/notification_host/strings/plural_rules.h"

namespace quenlarch::notification_host {

// One table of one language; its plural forms are chosen with that language's rules.
struct StringsTable {
  std::string language;
  PluralRules plurals;
  StringsEntries entries;

  static StringsTable forLanguage(std::string language, StringsEntries entries);
};

// Tables in the order they are consulted; a key is taken from the first table that has it.
struct LocalizedStrings {
  std::vector<StringsTable> tables;

  struct Found {
    const LocalizedFormat* format;
    const PluralRules* plurals;  // of the table it came from
  };
  // The entry under `key`, or none when no table has it.
  std::optional<Found> find(std::string_view key) const;
};

// Reads an environment variable; none when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The languages the person prefers, most wanted first, as BCP 47 tags: every entry of LANGUAGE
// (a colon-separated list), then the locale from the first non-empty of LC_ALL, LC_MESSAGES and
// LANG. A locale's codeset and modifier are dropped ("de_DE.UTF-8@euro" gives "de-DE"); "C" and
// "POSIX" name no language.
std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment);
// preferredLanguages() of this process's environment.
std::vector<std::string> preferredLanguagesFromEnvironment();

// Told once about each table that exists but cannot be read; one line, no newline.
using StringsProblems = std::function<void(std::string_view message)>;
// The host's own diagnostic line on stderr ("notification-host: ...").
void noteStringsProblemOnStderr(std::string_view message);

// The tables of the app bundle at `appPath` for `languages` (see above). An app without any gives
// no tables, and alerts then show their keys.
LocalizedStrings loadLocalizedStrings(const std::string& appPath,
                                      const std::vector<std::string>& languages,
                                      const StringsProblems& problems = noteStringsProblemOnStderr);

}  // namespace quenlarch::notification_host
