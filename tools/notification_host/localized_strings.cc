// Finding and reading an app's Localizable.strings tables.
#include "tools/notification_host/localized_strings.h"

#include <cstdlib>

#include "platform/linux/disk_bundle.h"
#include "platform/linux/plist_file.h"

namespace quenlarch::notification_host {
namespace {

void addOnce(std::vector<std::string>& list, std::string item) {
  if (item.empty()) return;
  for (const std::string& present : list) {
    if (present == item) return;
  }
  list.push_back(std::move(item));
}

// "de_DE.UTF-8@euro" → "de_DE", "de-DE", "de". A name that could escape the Resources folder is
// no language.
void addLocale(std::vector<std::string>& list, std::string_view locale) {
  locale = locale.substr(0, locale.find_first_of(".@"));
  if (locale.empty() || locale == "C" || locale == "POSIX") return;
  if (locale.find('/') != std::string_view::npos || locale.find("..") != std::string_view::npos) {
    return;
  }
  std::string name(locale);
  addOnce(list, name);
  if (std::size_t underscore = name.find('_'); underscore != std::string::npos) {
    std::string dashed = name;
    dashed[underscore] = '-';
    addOnce(list, dashed);
    addOnce(list, name.substr(0, underscore));
  }
}

}  // namespace

std::optional<std::string> LocalizedStrings::lookup(std::string_view key) const {
  for (const PlistValue& table : tables) {
    if (const PlistValue* value = table.find(key); value != nullptr && value->isString()) {
      return *value->asString();
    }
  }
  return std::nullopt;
}

std::vector<std::string> preferredLanguages(const EnvironmentLookup& environment) {
  std::vector<std::string> languages;
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
  return languages;
}

std::vector<std::string> preferredLanguagesFromEnvironment() {
  return preferredLanguages([](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  });
}

LocalizedStrings loadLocalizedStrings(const std::string& appPath,
                                      const std::vector<std::string>& languages) {
  std::vector<std::string> order = languages;
  std::unique_ptr<DiskBundle> app = DiskBundle::open(appPath);
  if (std::optional<PlistValue> region =
          app->objectForInfoDictionaryKey("CFBundleDevelopmentRegion");
      region && region->isString()) {
    addLocale(order, *region->asString());
  }
  LocalizedStrings strings;
  for (const std::string& language : order) {
    std::string path =
        app->bundleURL() + "/Contents/Resources/" + language + ".lproj/Localizable.strings";
    std::optional<PlistValue> table = readPlistFile(path);
    if (table && table->isDictionary()) strings.tables.push_back(std::move(*table));
  }
  return strings;
}

}  // namespace quenlarch::notification_host
