// Localizable.strings tables for the counted alerts, in the app's two languages.
#include "tools/badge_app/strings_tables.h"

#include <filesystem>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/linux/plist_file.h"
#include "platform/plist_value.h"

namespace quenlarch::badge_app {
namespace {

constexpr const char* kDevelopmentRegion = "en";

struct Table {
  const char* language;
  std::vector<std::pair<std::string_view, std::string_view>> entries;
};

// Keyed by the German texts the server sends as loc-key; the first loc-arg is who it is from.
const std::vector<Table>& tables() {
  static const std::vector<Table> kTables = {
      {"en",
       {{"Neue Nachricht", "New message from %@"}, {"Verpasster Anruf", "Missed call from %@"}}},
      {"de",
       {{"Neue Nachricht", "Neue Nachricht von %@"},
        {"Verpasster Anruf", "Verpasster Anruf von %@"}}},
  };
  return kTables;
}

// Writes `value` unless the file already holds exactly it.
bool writeIfDifferent(const std::string& path, const PlistValue& value) {
  if (readPlistFile(path) == value) return true;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  return writeXmlPlistFile(path, value);
}

}  // namespace

std::optional<std::string> writeStringsTables(const std::string& appPath) {
  for (const Table& table : tables()) {
    PlistValue strings;
    for (const auto& [key, text] : table.entries) strings.set(key, PlistValue(text));
    const std::string path =
        appPath + "/Contents/Resources/" + table.language + ".lproj/Localizable.strings";
    if (!writeIfDifferent(path, strings)) return "cannot write " + path;
  }
  const std::string infoPath = appPath + "/Contents/Info.plist";
  std::optional<PlistValue> info = readPlistFile(infoPath);
  if (!info || !info->isDictionary()) return "cannot read " + infoPath;
  if (info->find("CFBundleDevelopmentRegion") == nullptr) {
    info->set("CFBundleDevelopmentRegion", kDevelopmentRegion);
    if (!writeXmlPlistFile(infoPath, *info)) return "cannot write " + infoPath;
  }
  return std::nullopt;
}

}  // namespace quenlarch::badge_app
