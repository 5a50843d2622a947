// How an alert reads: literal and localized fields, the format rules of localized strings, which
// languages the environment asks for, and which strings tables of an app bundle are consulted.
#include "tools/notification_host/rendering/alert_rendering.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/linux/plist_file.h"
#include "platform/linux/plist_json.h"
#include "tests/support/temp_dir.h"
#include "tools/notification_host/strings/string_catalog.h"

namespace quenlarch::notification_host {
namespace {

using namespace std::string_literals;

using Table = std::map<std::string, std::string>;

PlistValue tableValue(const Table& table) {
  PlistValue dict;
  for (const auto& [key, text] : table) dict.set(key, text);
  return dict;
}

StringsTable stringsTable(const Table& table) {
  StringsEntries entries;
  for (const auto& [key, text] : table) entries.emplace(key, LocalizedFormat{text, {}, {}});
  return StringsTable::forLanguage("en", std::move(entries));
}

TEST(AlertRenderingTest, RendersAsThePlatformDoes) {
  const Table en = {{"MSG", "New message from %@"},
                    {"TWO", "%2$@ wrote to %1$@"},
                    {"SEQ", "%@ and %@"},
                    {"PCT", "100%% from %@"},
                    {"BAD", "%5 %$@ %0$@ %x %99999999999999999999$@ end%"},
                    {"TTL", "Title %@"},
                    {"SUB", "Sub %@"}};
  const Table de = {{"MSG", "Neue Nachricht von %@"}};
  struct Case {
    const char* name;
    const char* aps;  // the "aps" object of the payload
    std::vector<Table> tables;
    RenderedAlert expected;
  };
  using S = std::optional<std::string>;
  const std::vector<Case> cases = {
      {"string alert is the body", R"({"alert":"Hi"})", {}, {S(), S(), S("Hi")}},
      {"no alert", R"({"badge":3})", {en}, {}},
      {"alert of another type", R"({"alert":42})", {en}, {}},
      {"dictionary", R"({"alert":{"title":"T","subtitle":"S","body":"B"}})", {}, {"T", "S", "B"}},
      {"fields that are not strings are absent", R"({"alert":{"title":7,"body":null}})", {}, {}},
      {"loc-key from the table",
       R"({"alert":{"loc-key":"MSG","loc-args":["Ana"]}})",
       {en},
       {S(), S(), S("New message from Ana")}},
      {"first table with the key wins",
       R"({"alert":{"loc-key":"MSG","loc-args":["Ana"]}})",
       {de, en},
       {S(), S(), S("Neue Nachricht von Ana")}},
      {"later table supplies a key the first lacks",
       R"({"alert":{"loc-key":"PCT","loc-args":["x"]}})",
       {de, en},
       {S(), S(), S("100% from x")}},
      {"no table: the key is the format",
       R"({"alert":{"loc-key":"Hi %@!","loc-args":["Bo"]}})",
       {},
       {S(), S(), S("Hi Bo!")}},
      {"loc-key wins over the literal body",
       R"({"alert":{"loc-key":"MSG","loc-args":["A"],"body":"B"}})",
       {en},
       {S(), S(), S("New message from A")}},
      {"loc-key that is not a string leaves the literal",
       R"({"alert":{"loc-key":3,"body":"B"}})",
       {en},
       {S(), S(), S("B")}},
      {"title and subtitle keys with their own args",
       R"({"alert":{"title-loc-key":"TTL","title-loc-args":["1"],"subtitle-loc-key":"SUB",
           "subtitle-loc-args":["2"],"loc-key":"MSG","loc-args":["3"]}})",
       {en},
       {"Title 1", "Sub 2", "New message from 3"}},
      {"positional args",
       R"({"alert":{"loc-key":"TWO","loc-args":["Ana","Bo"]}})",
       {en},
       {S(), S(), S("Bo wrote to Ana")}},
      {"missing args are empty",
       R"({"alert":{"loc-key":"SEQ","loc-args":["A"]}})",
       {en},
       {S(), S(), S("A and ")}},
      {"no loc-args at all", R"({"alert":{"loc-key":"TWO"}})", {en}, {S(), S(), S(" wrote to ")}},
      {"loc-args not an array",
       R"({"alert":{"loc-key":"MSG","loc-args":"Ana"}})",
       {en},
       {S(), S(), S("New message from ")}},
      {"surplus args are ignored",
       R"({"alert":{"loc-key":"MSG","loc-args":["A","B","C"]}})",
       {en},
       {S(), S(), S("New message from A")}},
      {"%% is a percent sign",
       R"({"alert":{"loc-key":"PCT","loc-args":["Ana"]}})",
       {en},
       {S(), S(), S("100% from Ana")}},
      {"malformed formats stay as written",
       R"({"alert":{"loc-key":"BAD","loc-args":["A"]}})",
       {en},
       {S(), S(), S("%5 %$@ %0$@ %x %99999999999999999999$@ end%")}},
      {"non-string args",
       R"({"alert":{"loc-key":"%@|%@|%@|%@|%@|%@","loc-args":[3,-1.5,true,null,["x"],{"k":1}]}})",
       {},
       {S(), S(), S(R"(3|-1.5|true||["x"]|{"k":1})")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LocalizedStrings strings;
    for (const Table& table : c.tables) strings.tables.push_back(stringsTable(table));
    PlistValue userInfo =
        plistFromJson(nlohmann::json::parse(std::string(R"({"aps":)") + c.aps + "}"));
    EXPECT_EQ(renderAlert(userInfo, strings), c.expected);
  }
}

TEST(AlertRenderingTest, PreferredLanguagesFromTheEnvironment) {
  using Env = std::map<std::string, std::string>;
  struct Case {
    Env env;
    std::vector<std::string> languages;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{{"LANG", "de_DE.UTF-8"}}, {"de-DE"}},
      {{{"LANG", "C.UTF-8"}}, {}},
      {{{"LANGUAGE", "fr:en_GB:fr"}, {"LANG", "de_AT.UTF-8@euro"}}, {"fr", "en-GB", "de-AT"}},
      {{{"LC_ALL", "en_US.UTF-8"}, {"LC_MESSAGES", "de"}, {"LANG", "fr"}}, {"en-US"}},
      {{{"LC_ALL", ""}, {"LC_MESSAGES", "de"}, {"LANG", "fr"}}, {"de"}},
      {{{"LANGUAGE", "::../x:de"}, {"LANG", "POSIX"}}, {"de"}},
  };
  for (const Case& c : cases) {
    auto lookup = [&](const char* name) -> std::optional<std::string> {
      auto it = c.env.find(name);
      return it == c.env.end() ? std::nullopt : std::optional<std::string>(it->second);
    };
    EXPECT_EQ(preferredLanguages(lookup), c.languages);
  }
}

// The body the key renders to with `args`.
std::string rendered(const LocalizedStrings& strings, const std::string& key, PlistValue args) {
  PlistValue alert;
  alert.set("loc-key", key);
  alert.set("loc-args", std::move(args));
  PlistValue aps, userInfo;
  aps.set("alert", alert);
  userInfo.set("aps", aps);
  return renderAlert(userInfo, strings).body.value_or("<none>");
}

TEST(AlertRenderingTest, TablesOfTheBundleInLanguageOrderThenTheDevelopmentRegion) {
  testing::TempDir temp("strings");
  const std::string app = temp / "A.app";
  const std::string resources = app + "/Contents/Resources/";
  const auto write = [&](const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(resources + path).parent_path());
    std::ofstream(resources + path, std::ios::binary) << bytes;
  };
  const auto writePlist = [&](const std::string& path, const PlistValue& value) {
    write(path, plistToXml(value).value_or(""));
  };
  writePlist("en.lproj/Localizable.strings", tableValue({{"K", "english"}, {"E", "en only"}}));
  writePlist("de.lproj/Localizable.strings", tableValue({{"K", "deutsch"}, {"S", "einfach"}}));
  writePlist("de.lproj/Localizable.stringsdict", plistFromJson(nlohmann::json::parse(R"({"S": {
      "NSStringLocalizedFormatKey": "%#@n@", "n": {"NSStringFormatSpecTypeKey":
      "NSStringPluralRuleType", "one": "%d Sache", "other": "%d Sachen"}}})")));
  write("fr.lproj/Localizable.strings", "\"K\" = \"français\";");
  write("zh-Hans.lproj/Localizable.strings", "\xFF\xFE\"\0K\0\"\0=\0\"\0\x80\x7B\"\0;\0"s);
  write("it.lproj/Localizable.strings", "/* broken */\n\"K\" = \"italiano\"\n");
  write("Localizable.xcstrings", R"({"sourceLanguage": "en", "strings": {
      "C": {"localizations": {"ja": {"stringUnit": {"value": "日本語"}},
                              "en": {"stringUnit": {"value": "catalog"}}}}}})");
  PlistValue info;
  info.set("CFBundleDevelopmentRegion", "en");
  ASSERT_TRUE(writeXmlPlistFile(app + "/Contents/Info.plist", info));

  struct Case {
    std::vector<std::string> languages;
    std::string key;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{"de-DE"}, "K", "deutsch"},
      {{"de"}, "S", "1 Sache"},  // .stringsdict before .strings
      {{"de"}, "E", "en only"},
      {{"fr"}, "K", "français"},
      {{"zh-CN"}, "K", "简"},
      {{"es", "it", "de"}, "K", "deutsch"},  // an unreadable table counts as none
      {{"ja"}, "C", "日本語"},
      {{"de"}, "C", "catalog"},
      {{}, "K", "english"},
  };
  const std::string brokenTable =
      "ignoring the strings table " + resources +
      "it.lproj/Localizable.strings: line 2: expected ';' after the value";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.languages.empty() ? "none" : c.languages.front());
    std::vector<std::string> problems;
    LocalizedStrings strings = loadLocalizedStrings(
        app, c.languages, [&](std::string_view problem) { problems.emplace_back(problem); });
    EXPECT_EQ(rendered(strings, c.key, PlistValue::Array{PlistValue(1)}), c.text);
    const bool italian = std::count(c.languages.begin(), c.languages.end(), "it") != 0;
    EXPECT_EQ(problems,
              italian ? std::vector<std::string>{brokenTable} : std::vector<std::string>{});
  }
  std::filesystem::remove(app + "/Contents/Info.plist");
  EXPECT_EQ(rendered(loadLocalizedStrings(app, {"es"}), "K", {}), "K");
  EXPECT_EQ(loadLocalizedStrings(temp / "Missing.app", {"de"}).tables.size(), 0u);
}

// A bundle may be hostile: its catalog is read within a multiple of its size and a cap on
// languages, and each excess is named once.
TEST(AlertRenderingTest, HostileCatalogsAreReadWithinBounds) {
  const auto catalog = [](const std::string& localizations) {
    return R"({"sourceLanguage": "en", "strings": {"K": {"localizations": {)" + localizations +
           "}}}}";
  };
  const auto substitution = [](const std::string& argNum, const std::string& specifier,
                               std::size_t args) {
    std::string form;
    for (std::size_t i = 0; i < args; ++i) form += "%arg";
    return R"("en": {"stringUnit": {"value": "%#@v@"}, "substitutions": {"v": {"argNum": )" +
           argNum + R"(, "formatSpecifier": ")" + specifier +
           R"(", "variations": {"plural": {"other": {"stringUnit": {"value": ")" + form +
           R"("}}}}}}})";
  };
  const std::string english = R"("en": {"stringUnit": {"value": "English %d"}})";
  std::string manyLanguages = english;
  for (int i = 0; i < 40000; ++i) {
    std::string variant = "aaaaa";
    for (int n = i, at = 4; n > 0; n /= 26, --at) {
      variant[static_cast<std::size_t>(at)] = static_cast<char>('a' + n % 26);
    }
    manyLanguages += R"(, "en-)" + variant + R"(": {"stringUnit": {"value": "v"}})";
  }
  struct Case {
    const char* name;
    std::string catalog;
    int folders;  // empty .lproj folders beside it
    std::string body;
    std::string problem;  // after "ignoring "; "@" the Resources folder, "#" the catalog's size
  };
  const std::vector<Case> cases = {
      {"a 3 MB specifier is no conversion: the substitution is left out",
       catalog(substitution("1", std::string(3 << 20, 'd'), 2000)), 0, "%#@v@", ""},
      {"a short specifier", catalog(substitution("1", "lu", 2)), 0, "11", ""},
      {"substitutions that would grow past the budget",
       catalog(substitution("123456789012345", "lld", 50000)), 0, "K",
       "the strings table @/Localizable.xcstrings: it would take more than 4 times its # bytes "
       "once read"},
      {"40,000 languages", catalog(manyLanguages), 0, "English 1",
       "39745 languages of the strings table @/Localizable.xcstrings beyond the first 256"},
      {"300 localization folders", catalog(english), 300, "English 1",
       "44 localization folders of @ beyond the first 256"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir temp("hostile");
    const std::string resources = temp / "A.app/Contents/Resources";
    std::filesystem::create_directories(resources);
    std::ofstream(resources + "/Localizable.xcstrings") << c.catalog;
    for (int i = 0; i < c.folders; ++i) {
      std::filesystem::create_directory(resources + "/x" + std::to_string(i) + ".lproj");
    }
    std::vector<std::string> problems;
    LocalizedStrings strings = loadLocalizedStrings(
        temp / "A.app", {"en"}, [&](std::string_view problem) { problems.emplace_back(problem); });
    EXPECT_EQ(rendered(strings, "K", PlistValue::Array{PlistValue(1)}), c.body);
    std::string problem = c.problem;
    if (const std::size_t at = problem.find('@'); at != std::string::npos) {
      problem.replace(at, 1, resources);
    }
    if (const std::size_t at = problem.find('#'); at != std::string::npos) {
      problem.replace(at, 1, std::to_string(c.catalog.size()));
    }
    EXPECT_EQ(problems, c.problem.empty() ? std::vector<std::string>{}
                                          : std::vector<std::string>{"ignoring " + problem});
    EXPECT_LE(strings.tables.size(), 3 * kMaxCatalogLanguages);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
