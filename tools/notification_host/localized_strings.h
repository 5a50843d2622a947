// The app's localized strings as the host finds them when it renders an alert: the
// Contents/Resources/<language>.lproj/Localizable.strings tables of the app bundle, in the order of
// the languages the person prefers, then the bundle's development region.
//
// Tables are property lists (XML or binary) whose root is a dictionary of string to string, read
// with libplist. The classic text form ("key" = "value";) is not accepted: the libplist of Debian
// 12 (2.2) has no parser for it (that arrived in libplist 2.3), and no other packaged library reads
// it, so such a file counts as no table rather than being read by a parser of our own.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plist_value.h"

namespace quenlarch::notification_host {

// Tables in the order they are consulted; a key is taken from the first table that has it.
struct LocalizedStrings {
  std::vector<PlistValue> tables;  // each a dictionary

  // The string under `key`, or none when no table has it as a string.
  std::optional<std::string> lookup(std::string_view key) const;
};

// Reads an environment variable; none when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;

// The languages the person prefers, most wanted first, as .lproj names to try: every entry of
// LANGUAGE (a colon-separated list), then the locale from the first non-empty of LC_ALL,
// LC_MESSAGES and LANG. A locale's codeset and modifier are dropped ("de_DE.UTF-8@euro" gives
// "de_DE", "de-DE", "de"); "C" and "POSIX" name no language.
std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment);
// preferredLanguages() of this process's environment.
std::vector<std::string> preferredLanguagesFromEnvironment();

// The tables of the app bundle at `appPath` for `languages`, followed by those of the bundle's
// CFBundleDevelopmentRegion. Languages without a readable table are skipped; an app without any
// gives no tables, and alerts then show their keys.
LocalizedStrings loadLocalizedStrings(const std::string& appPath,
                                      const std::vector<std::string>& languages);

}  // namespace quenlarch::notification_host
