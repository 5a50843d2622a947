// Real localization files from open-source apps (tests/data/realworld-strings, unchanged): each
// text-form file is read whole, and laid out in an app bundle their keys render through
// `notification-host deliver` as on a device.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/linux/file_io.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"
#include "tools/notification_host/strings/strings_text_parser.h"

namespace quenlarch::notification_host {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

void layOut(const std::string& app, const std::vector<std::pair<std::string, std::string>>& files) {
  for (const auto& [file, path] : files) {
    const fs::path target = fs::path(app) / "Contents/Resources" / path;
    fs::create_directories(target.parent_path());
    fs::copy_file(fs::path(REAL_STRINGS_DIR) / file, target, fs::copy_options::overwrite_existing);
  }
}

std::string alertJson(const std::string& key, const std::string& args) {
  return R"({"aps":{"alert":{"loc-key":)" + json(key).dump() + R"(,"loc-args":)" + args + "}}}";
}

// Every entry of every real text-form file is read: none is lost to a parse that stops early.
TEST(RealStringsTest, EveryEntryOfTheTextFormFilesIsRead) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(REAL_STRINGS_DIR)) {
    if (entry.path().extension() != ".strings") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++files;
    FileContents contents = readRegularFile(entry.path(), 1 << 20);
    ASSERT_FALSE(contents.error);
    std::size_t quotedLines = 0;
    std::istringstream lines(contents.bytes);
    for (std::string line; std::getline(lines, line);) quotedLines += line.starts_with('"');
    Expected<std::vector<StringsTextEntry>> parsed = parseStringsText(contents.bytes);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->size(), quotedLines);
  }
  EXPECT_EQ(files, 8);
}

// The host itself, on an app laid out by badge-app with real files added: what a person reads for
// real keys in the person's language, and a misplaced table named once on stderr.
TEST(RealStringsTest, DeliverShowsRealKeysAsADeviceWould) {
  testing::TempDir temp("real-strings");
  const std::string app = temp / "Reader.app";
  const std::vector<std::string> env = {"QUENLARCH_KEYCHAIN=" + temp / "keychain.sqlite",
                                        "BADGE_SERVICE_EXECUTABLE=" BADGE_SERVICE_PATH,
                                        "LANGUAGE=", "LC_ALL=", "LC_MESSAGES="};
  ASSERT_EQ(testing::runCommand({BADGE_APP_PATH, "install", "--app", app}, "", env).exitCode, 0);
  layOut(app, {{"nnw-en.strings", "en.lproj/Localizable.strings"},
               {"nnw-en.stringsdict", "en.lproj/Localizable.stringsdict"},
               {"nnw-zh-Hans.strings", "zh-Hans.lproj/Localizable.strings"},
               {"nnw-zh-Hans.stringsdict", "zh-Hans.lproj/Localizable.stringsdict"},
               {"nnw-Shared-Localizable.xcstrings", "Localizable.xcstrings"},
               {"wp-en.stringsdict", "fr.lproj/Localizable.stringsdict"},
               {"ff-de-FxANotification.strings", "de-AT.lproj/Localizable.strings"},
               {"ff-en-US-FxANotification.strings", "en-US.lproj/Localizable.strings"},
               {"nnw-DefaultAccountNames.xcstrings", "ja.lproj/Localizable.strings"}});
  struct Case {
    std::string locale, key, args, body;
  };
  const std::vector<Case> cases = {
      {"zh_CN.UTF-8", "window.subtitle.unread-count.%d", "[7]", "7 个未读"},
      {"zh_CN.UTF-8", "alert.title.install-theme.%@.%@", R"(["Dark","Ana"])",
       "安装由 Ana 创作的“Dark”主题？"},
      {"zh_SG.UTF-8", "button.title.copy-article-urls.%ld", "[1]", "拷贝文章 URL"},
      {"en_GB.UTF-8", "button.title.copy-article-urls.%ld", R"(["1"])", "Copy Article URL"},
      {"en_GB.UTF-8", "button.title.copy-article-urls.%ld", R"(["3"])", "Copy Article URLs"},
      {"zh_TW.UTF-8", "alert.title.open-articles-in-browser.%ld", "[12]",
       "Are you sure you want to open 12 articles in your browser?"},
      {"en_US.UTF-8", "%d of %d", "[3,12]", "3 of 12"},
      {"zh_CN.UTF-8", "%d unread", "[4]", "4 unread"},
      {"fr_FR.UTF-8", "places-filter-top-articles-count", "[0]", "0 article"},
      {"C.UTF-8", "places-filter-top-articles-count", "[0]", "places-filter-top-articles-count"},
      {"de_DE.UTF-8", "CloseTab.ArrivingNotification.title.v133", R"(["Firefox","3"])",
       "Firefox-Tabs geschlossen: 3"},
      {"en_US.UTF-8", "CloseTab.ArrivingNotification.title.v133", R"(["Firefox","3"])",
       "Firefox tabs closed: 3"},
      {"ja_JP.UTF-8", "%d unread", "[2]", "2 unread"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale + " " + c.key);
    std::vector<std::string> caseEnv = env;
    caseEnv.push_back("LANG=" + c.locale);
    testing::CommandResult result =
        testing::runCommand({NOTIFICATION_HOST_PATH, "deliver", "--app", app, "-"},
                            alertJson(c.key, c.args) + "\n", caseEnv);
    EXPECT_EQ(result.exitCode, 0);
    std::vector<json> lines = testing::jsonLines(result.out);
    ASSERT_EQ(lines.size(), 1u) << result.out;
    EXPECT_EQ(lines[0]["alert"]["body"], c.body) << lines[0].dump();
    // The String Catalog mistaken for a text-form table is named, and its language skipped.
    const bool japanese = c.locale.starts_with("ja");
    EXPECT_EQ(
        result.err,
        !japanese
            ? ""
            : "notification-host: ignoring the strings table " + app +
                  "/Contents/Resources/ja.lproj/Localizable.strings: line 2: expected '=' or ';' "
                  "after the key\n");
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
