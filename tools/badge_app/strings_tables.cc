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
Expected<void> writeIfDifferent(const std::string& path, const PlistValue& value) {
  if (readPlistFile(path) == value) return {};
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  return writeXmlPlistFile(path, value);
}

Unexpected<std::string> cannot(const char* what, const std::string& path,
                               const std::string& reason) {
  return unexpected(std::string(what) + " " + path + ": " + reason);
}

}  // namespace

Expected<void> writeStringsTables(const std::string& appPath) {
  for (const Table& table : tables()) {
    PlistValue strings;
    for (const auto& [key, text] : table.entries) strings.set(key, PlistValue(text));
    const std::string path =
        appPath + "/Contents/Resources/" + table.language + ".lproj/Localizable.strings";
    if (Expected<void> written = writeIfDifferent(path, strings); !written) {
      return cannot("cannot write", path, written.error());
    }
  }
  const std::string infoPath = appPath + "/Contents/Info.plist";
  Expected<PlistValue> info = loadPlistFile(infoPath);
  if (!info) return cannot("cannot read", infoPath, info.error());
  if (!info->isDictionary()) return cannot("cannot read", infoPath, "not a dictionary");
  if (info->find("CFBundleDevelopmentRegion") == nullptr) {
    info->set("CFBundleDevelopmentRegion", kDevelopmentRegion);
    if (Expected<void> written = writeXmlPlistFile(infoPath, *info); !written) {
      return cannot("cannot write", infoPath, written.error());
    }
  }
  return {};
}

}  // namespace quenlarch::badge_app
