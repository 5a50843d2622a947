// Finding and reading an app's strings tables.
#include "tools/notification_host/rendering/localized_strings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <unordered_set>

#include "platform/linux/disk_bundle.h"
#include "platform/linux/file_io.h"
#include "platform/linux/plist_file.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/strings/language_match.h"
#include "tools/notification_host/strings/string_catalog.h"
#include "tools/notification_host/strings/strings_text_parser.h"
#include "tools/notification_host/strings/stringsdict.h"

namespace quenlarch::notification_host {
namespace {

// Real tables reach a few hundred kilobytes; a catalog holds every language at once.
constexpr std::size_t kMaxTableBytes = std::size_t{8} << 20;

// A list in order, each item once.
class OrderedSet {
 public:
  void add(std::string item) {
    if (!item.empty() && seen_.insert(item).second) items_.push_back(std::move(item));
  }
  std::vector<std::string> take() { return std::move(items_); }

 private:
  std::vector<std::string> items_;
  std::unordered_set<std::string> seen_;
};

// "de_DE.UTF-8@euro" → "de-DE". A name that could escape the Resources folder is no language.
void addLocale(OrderedSet& list, std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return;
  if (locale.find('/') != std::string_view::npos || locale.find("..") != std::string_view::npos) {
    return;
  }
  std::string tag(locale);
  std::replace(tag.begin(), tag.end(), '_', '-');
  list.add(std::move(tag));
}

// The contents of the table file at `path`; none when there is no such file, or when it cannot
// be read (then said through `problems`).
std::optional<std::string> readTableBytes(const std::string& path,
                                          const StringsProblems& problems) {
  FileContents contents = readRegularFile(path, kMaxTableBytes);
  if (!contents.error) return std::move(contents.bytes);
  if (contents.error->kind != FileError::Kind::kCannotOpen ||
      contents.error->systemError != ENOENT) {
    problems("ignoring the strings table " + path + ": " + contents.error->message(kMaxTableBytes));
  }
  return std::nullopt;
}

std::optional<PlistValue> plistTable(const std::string& path, const std::string& bytes,
                                     const StringsProblems& problems) {
  std::optional<PlistValue> plist =
      plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  if (!plist) problems("ignoring the strings table " + path + ": not a property list");
  return plist;
}

// A .strings file holds a property list when it starts like one; the text form cannot start
// with "<" or "bplist".
bool looksLikePropertyList(std::string_view bytes) {
  if (bytes.starts_with("bplist")) return true;
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  const std::size_t start = bytes.find_first_not_of(" \t\r\n");
  return start != std::string_view::npos && bytes[start] == '<';
}

std::optional<StringsEntries> readStringsFile(const std::string& path,
                                              const StringsProblems& problems) {
  std::optional<std::string> bytes = readTableBytes(path, problems);
  if (!bytes) return std::nullopt;
  StringsEntries entries;
  if (looksLikePropertyList(*bytes)) {
    std::optional<PlistValue> plist = plistTable(path, *bytes, problems);
    if (!plist) return std::nullopt;
    if (!plist->isDictionary()) {
      problems("ignoring the strings table " + path + ": its root is not a dictionary");
      return std::nullopt;
    }
    for (const PlistEntry& entry : *plist->asDictionary()) {
      const std::string* key = entry.key.asString();
      const std::string* text = entry.value.asString();
      if (key != nullptr && text != nullptr) entries.emplace(*key, LocalizedFormat{*text, {}, {}});
    }
    return entries;
  }
  Expected<std::vector<StringsTextEntry>> parsed = parseStringsText(*bytes);
  if (!parsed) {
    problems("ignoring the strings table " + path + ": " + parsed.error());
    return std::nullopt;
  }
  // A later entry for the same key replaces an earlier one, as assignments do.
  for (StringsTextEntry& entry : *parsed) {
    entries.insert_or_assign(std::move(entry.key), LocalizedFormat{std::move(entry.value), {}, {}});
  }
  return entries;
}

std::optional<StringsEntries> readStringsdictFile(const std::string& path,
                                                  const StringsProblems& problems) {
  std::optional<std::string> bytes = readTableBytes(path, problems);
  if (!bytes) return std::nullopt;
  std::optional<PlistValue> plist = plistTable(path, *bytes, problems);
  if (!plist) return std::nullopt;
  Expected<StringsEntries> entries = stringsdictEntries(*plist);
  if (!entries) {
    problems("ignoring the strings table " + path + ": " + entries.error());
    return std::nullopt;
  }
  return std::move(*entries);
}

std::optional<StringCatalog> readCatalogFile(const std::string& path,
                                             const StringsProblems& problems) {
  std::optional<std::string> bytes = readTableBytes(path, problems);
  if (!bytes) return std::nullopt;
  Expected<StringCatalog> catalog = parseStringCatalog(*bytes);
  if (!catalog) {
    problems("ignoring the strings table " + path + ": " + catalog.error());
    return std::nullopt;
  }
  if (catalog->ignoredLanguages > 0) {
    problems("ignoring " + std::to_string(catalog->ignoredLanguages) +
             " languages of the strings table " + path + " beyond the first " +
             std::to_string(kMaxCatalogLanguages));
  }
  return std::move(*catalog);
}

// The names of the .lproj folders in `resources`, sorted; as many as a catalog may have languages,
// the rest named through `problems`.
std::vector<std::string> localizationFolders(const std::string& resources,
                                             const StringsProblems& problems) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(resources, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 6 && name.ends_with(".lproj") && it->is_directory(ec)) {
      names.push_back(name.substr(0, name.size() - 6));
    }
  }
  std::sort(names.begin(), names.end());
  if (names.size() > kMaxCatalogLanguages) {
    problems("ignoring " + std::to_string(names.size() - kMaxCatalogLanguages) +
             " localization folders of " + resources + " beyond the first " +
             std::to_string(kMaxCatalogLanguages));
    names.resize(kMaxCatalogLanguages);
  }
  return names;
}

}  // namespace

StringsTable StringsTable::forLanguage(std::string language, StringsEntries entries) {
  PluralRules plurals = PluralRules::forLanguage(language);
  return StringsTable{std::move(language), std::move(plurals), std::move(entries)};
}

std::optional<LocalizedStrings::Found> LocalizedStrings::find(std::string_view key) const {
  for (const StringsTable& table : tables) {
    auto found = table.entries.find(key);
    if (found != table.entries.end()) return Found{&found->second, &table.plurals};
  }
  return std::nullopt;
}

std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment) {
  OrderedSet languages;
  if (std::optional<std::string> list = environment("LANGUAGE")) {
    std::string_view rest = *list;
    while (!rest.empty()) {
      std::size_t colon = rest.find(':');
      addLocale(languages, rest.substr(0, colon));
      rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    std::optional<std::string> locale = environment(name);
    if (!locale || locale->empty()) continue;
    addLocale(languages, *locale);
    break;
  }
  return languages.take();
}

std::vector<std::string> preferredLanguagesFromEnvironment() {
  return preferredLanguages([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

void noteStringsProblemOnStderr(std::string_view message) {
  static const tools::Console console("notification-host");
  console.note(message);
}

LocalizedStrings loadLocalizedStrings(const std::string& appPath,
                                      const std::vector<std::string>& languages,
                                      const StringsProblems& problems) {
  std::unique_ptr<DiskBundle> app = DiskBundle::open(appPath);
  const std::string resources = app->bundleURL() + "/Contents/Resources";
  const std::vector<std::string> folders = localizationFolders(resources, problems);
  OrderedSet availableSet;
  for (const std::string& folder : folders) availableSet.add(folder);
  std::optional<StringCatalog> catalog =
      readCatalogFile(resources + "/Localizable.xcstrings", problems);
  if (catalog) {
    for (std::string& language : catalog->languages()) availableSet.add(std::move(language));
  }
  const std::vector<std::string> available = availableSet.take();

  OrderedSet orderSet;
  for (std::string& language : matchLanguages(languages, available)) {
    orderSet.add(std::move(language));
  }
  if (std::optional<PlistValue> region =
          app->objectForInfoDictionaryKey("CFBundleDevelopmentRegion");
      region && region->isString()) {
    for (std::string& language : matchLanguages({*region->asString()}, available)) {
      orderSet.add(std::move(language));
    }
  }
  const std::vector<std::string> order = orderSet.take();

  LocalizedStrings strings;
  const auto add = [&](const std::string& language, std::optional<StringsEntries> entries) {
    if (entries && !entries->empty()) {
      strings.tables.push_back(StringsTable::forLanguage(language, std::move(*entries)));
    }
  };
  for (const std::string& language : order) {
    // Only folders that exist: a catalog's language names no path to read.
    if (std::binary_search(folders.begin(), folders.end(), language)) {
      const std::string folder = resources + "/" + language + ".lproj/";
      add(language, readStringsdictFile(folder + "Localizable.stringsdict", problems));
      add(language, readStringsFile(folder + "Localizable.strings", problems));
    }
    if (catalog) add(language, catalog->entriesFor(language));
  }
  if (catalog) add(catalog->sourceLanguage, catalog->sourceEntries());
  return strings;
}

}  // namespace quenlarch::notification_host
