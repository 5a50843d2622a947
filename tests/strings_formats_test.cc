// The strings formats apps ship and how their formats render: the text form in its encodings,
// directives and their arguments, plural categories by language, String Catalogs, language
// matching and the cap on rendered text.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/linux/plist_json.h"
#include "tools/notification_host/strings/format_renderer.h"
#include "tools/notification_host/strings/language_match.h"
#include "tools/notification_host/strings/string_catalog.h"
#include "tools/notification_host/strings/strings_text_parser.h"

namespace quenlarch::notification_host {
namespace {

// `text` as UTF-16 with its byte-order mark.
std::string utf16(std::u16string_view text, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

PlistValue::Array arguments(const char* json) {
  return *plistFromJson(nlohmann::json::parse(json)).asArray();
}

std::string repeat(std::string_view text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}

TEST(StringsFormatsTest, TextFormParsesAsThePlatformReadsIt) {
  const std::u16string_view sample = u"\"a\" = \"\u00e4\U0001F600\";\n\"b\";";
  struct Case {
    std::string bytes;
    std::string parsed;  // "key=value|..." or the reason
  };
  const std::vector<Case> cases = {
      {"/* c\n*/ \"a\" = \"b\"; // \"x\" = \"y\";\nbare_k.1 = $v/w:x+y-z;\n\"k\";",
       "a=b|bare_k.1=$v/w:x+y-z|k=k"},
      {R"("e" = "\n\t\"\\\'\U00e9\u20AC\UD83D\UDE00\101\q\U41";)", "e=\n\t\"\\'é€😀AqA"},
      {"\"s\" = \"\\UD800x\xFF\";", "s=\uFFFDx\uFFFD"},  // unpaired surrogate, bad UTF-8
      {"\xEF\xBB\xBF{ \"a\" = \"1\"; \"a\" = \"2\"; }", "a=1|a=2"},
      {utf16(sample, true), "a=ä😀|b=b"},
      {utf16(sample, false), "a=ä😀|b=b"},
      {"\"a\" = \"b\"\n\"c\" = \"d\";", "line 1: expected ';' after the value"},
      {"\n\"a\" = \"b;\n\n", "line 2: unterminated string"},
      {"\"a\"=\"b\";\n/* x", "line 2: unterminated comment"},
      {"\"a\" =\n(\"b\");", "line 2: expected a value after '='"},
      {"\"a\" \"b\";", "line 1: expected '=' or ';' after the key"},
      {"\"a\" = \"\\Ux\";", "line 1: expected hex digits after \\U"},
      {"{\n\"a\" = \"b\";\n", "line 3: missing '}' at the end"},
      {"\xFF\xFE\x41", "UTF-16 text with an odd number of bytes"},
  };
  for (const Case& c : cases) {
    Expected<std::vector<StringsTextEntry>> parsed = parseStringsText(c.bytes);
    std::string summary = parsed ? "" : parsed.error();
    for (const StringsTextEntry& entry : parsed ? *parsed : std::vector<StringsTextEntry>{}) {
      summary += (summary.empty() ? "" : "|") + entry.key + "=" + entry.value;
    }
    EXPECT_EQ(summary, c.parsed) << c.bytes;
  }
}

TEST(StringsFormatsTest, DirectivesTakeTheirArguments) {
  struct Case {
    const char* format;
    const char* args;
    const char* rendered;
  };
  const std::vector<Case> cases = {
      {"%d unread", R"(["05"])", "5 unread"},
      {"%i|%u|%ld|%lld|%lu|%llu",
       R"([-1, 4294967295, -9223372036854775808, 9223372036854775807, "18446744073709551615", 0])",
       "-1|4294967295|-9223372036854775808|9223372036854775807|18446744073709551615|0"},
      {"%2$lld/%1$@ %@ has %d, %@", R"(["a", "-7", 2, "B"])", "-7/a a has -7, 2"},
      // Out of the directive's range, not an integer, or missing: left as written.
      {"%d %i %u %lu %lld", R"([2147483648, -2147483649, -1, "-1", "9223372036854775808"])",
       "%d %i %u %lu %lld"},
      {"%d|%d|%d|%d|%d|%d|%3$ld", R"([1.5, "12a", " 1", "", true, null])",
       "%d|%d|%d|%d|%d|%d|%3$ld"},
      // Sequences that are no directive take no argument.
      {"%hd %5d %lld%", "[1, 2]", "%hd %5d 1%"},
      {"100%% %0$@ %$@ %9999999999999999999999$d %#@@ %#@x", "[1]",
       "100% %0$@ %$@ %9999999999999999999999$d %#@@ %#@x"},
      {"%@|%@|%@|%@", R"([3, {"k": [1]}, null])", R"(3|{"k":[1]}||)"},
      {"安装由 %2$@ 创作的“%@”主题？", R"(["Dark", "Ana"])", "安装由 Ana 创作的“Dark”主题？"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(renderFormat(c.format, arguments(c.args)), c.rendered) << c.format;
  }
}

PluralVariable forms(std::vector<std::string> categories, const std::string& text) {
  PluralVariable variable;
  for (const std::string& category : categories) variable.forms[category] = category + text;
  return variable;
}

TEST(StringsFormatsTest, PluralFormsFollowTheLanguagesRules) {
  const std::vector<std::string> all = {"zero", "one", "two", "few", "many", "other"};
  const LocalizedFormat every{"%#@n@", {{"n", forms(all, " %ld")}}, {}};
  const LocalizedFormat noZero{"%#@n@", {{"n", forms({"one", "other"}, " %d")}}, {}};
  const LocalizedFormat second{"%@: %2$#@n@", {{"n", forms(all, " %2$d")}}, {}};
  const LocalizedFormat two{
      "%#@a@ & %#@b@", {{"a", forms(all, " %d")}, {"b", forms(all, " %d")}}, {}};
  const LocalizedFormat recursive{"%#@n@", {{"n", PluralVariable{{{"other", "x%#@n@"}}, {}}}}, {}};
  struct Case {
    const char* language;
    const LocalizedFormat& format;
    const char* args;
    const char* rendered;
  };
  const std::vector<Case> cases = {
      {"en", every, "[1]", "one 1"},
      {"en", every, "[2]", "other 2"},
      {"en", every, "[0]", "zero 0"},  // a zero form takes 0 in every language
      {"en", noZero, "[0]", "other 0"},
      {"de", every, R"(["1"])", "one 1"},
      {"fr", noZero, "[0]", "one 0"},
      {"ru", every, "[21]", "one 21"},
      {"ru", every, "[22]", "few 22"},
      {"ru", every, "[-11]", "many -11"},
      {"ar", every, "[2]", "two 2"},
      {"ar", every, "[111]", "many 111"},
      {"zh-Hans", every, "[1]", "other 1"},
      {"ru", every, R"(["many"])", "other %ld"},
      {"ru", second, R"(["Ann", 3])", "Ann: few 3"},
      {"en", two, "[1, 2]", "one 1 & other 2"},
      {"en", recursive, "[]", "xxxxxxxx%#@n@"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(
        renderLocalizedFormat(c.format, PluralRules::forLanguage(c.language), arguments(c.args)),
        c.rendered)
        << c.language << " " << c.args;
  }
}

TEST(StringsFormatsTest, CatalogEntriesByLanguageWithSourceFallback) {
  Expected<StringCatalog> catalog = parseStringCatalog(R"({"sourceLanguage": "en", "strings": {
    "dev": {"localizations": {
      "en": {"variations": {"device": {"iphone": {"stringUnit": {"value": "iPhone"}},
                                       "mac": {"stringUnit": {"value": "Mac"}}}}},
      "de": {"variations": {"device": {"other": {"stringUnit": {"value": "Gerät"}}}}}}},
    "n": {"localizations": {"ru": {"variations": {"plural": {
      "one": {"stringUnit": {"value": "%lld файл"}}, "few": {"stringUnit": {"value": "%lld файла"}},
      "other": {"stringUnit": {"value": "%lld файлов"}}}}}}},
    "sub": {"localizations": {"en": {"stringUnit": {"value": "%#@files@ in %2$@"},
      "substitutions": {"files": {"argNum": 1, "formatSpecifier": "lld", "variations": {"plural": {
        "one": {"stringUnit": {"value": "%arg file"}},
        "other": {"stringUnit": {"value": "%arg files"}}}}}}}}},
    "only en": {"localizations": {"en": {"stringUnit": {"value": "English"}}}},
    "specifiers": {"localizations": {"en": {"stringUnit": {"value": "%#@a@ %#@b@ %#@c@"},
      "substitutions": {
        "a": {"formatSpecifier": "ld", "variations": {"plural": {
          "other": {"stringUnit": {"value": "%arg a"}}}}},
        "b": {"argNum": 1, "formatSpecifier": "lld %@", "variations": {"plural": {
          "other": {"stringUnit": {"value": "%arg b"}}}}},
        "c": {"argNum": 2, "formatSpecifier": "-08.3lf", "variations": {"plural": {
          "other": {"stringUnit": {"value": "%arg c"}}}}}}}}},
    "untranslated %d": {"comment": "no localizations: its own value"}}})");
  ASSERT_TRUE(catalog) << catalog.error();
  EXPECT_EQ(catalog->languages(), (std::vector<std::string>{"en", "de", "ru"}));
  const StringsEntries source = catalog->sourceEntries();
  struct Case {
    const char *language, *key, *args, *rendered;
  };
  for (const Case& c : std::vector<Case>{{"en", "dev", "[]", "Mac"},
                                         {"de", "dev", "[]", "Gerät"},
                                         {"ru", "n", "[3]", "3 файла"},
                                         {"ru", "n", "[5]", "5 файлов"},
                                         {"en", "n", "[5]", "n"},
                                         {"en", "sub", R"([1, "Docs"])", "1 file in Docs"},
                                         {"en", "sub", R"([3, "Docs"])", "3 files in Docs"},
                                         {"de", "only en", "[]", "English"},
                                         // Only a short printf conversion stands for "%arg".
                                         {"en", "specifiers", "[2, 3]", "2 a %#@b@ %2$-08.3lf c"},
                                         {"de", "untranslated %d", "[4]", "untranslated 4"}}) {
    const StringsEntries localized = catalog->entriesFor(c.language);
    auto found = localized.find(c.key);
    const LocalizedFormat& format = found != localized.end() ? found->second : source.at(c.key);
    EXPECT_EQ(
        renderLocalizedFormat(format, PluralRules::forLanguage(c.language), arguments(c.args)),
        c.rendered)
        << c.language << " " << c.key;
  }
  EXPECT_EQ(parseStringCatalog("{\n\"sourceLanguage\": \"en\",\n\"strings\": {,}}").error(),
            "line 3: not JSON");
  EXPECT_FALSE(parseStringCatalog(R"({"strings": {}})"));
}

TEST(StringsFormatsTest, LanguagesMatchWithLikelySubtags) {
  using Names = std::vector<std::string>;
  const Names chinese = {"en", "zh", "zh-Hans", "zh-Hant"};
  const Names portuguese = {"en", "pt", "pt-BR", "pt-PT"};
  struct Case {
    Names preferred, available, matched;
  };
  const std::vector<Case> cases = {
      {{"zh-CN"}, chinese, {"zh-Hans", "zh"}},
      {{"zh-TW"}, chinese, {"zh-Hant"}},
      {{"zh-HK"}, chinese, {"zh-Hant"}},
      {{"pt-BR"}, portuguese, {"pt-BR", "pt", "pt-PT"}},
      {{"pt-PT"}, portuguese, {"pt-PT", "pt", "pt-BR"}},
      {{"de-AT", "en"}, {"Base", "de_DE", "de", "en-GB", "en"}, {"de", "de_DE", "en", "en-GB"}},
      {{"sr-Latn"}, {"sr", "sr-Latn"}, {"sr-Latn"}},
      {{"en", "x-private", "English"}, {"English"}, {"English"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(matchLanguages(c.preferred, c.available), c.matched) << c.preferred.front();
  }
}

TEST(StringsFormatsTest, RenderedTextIsCappedOnACharacterBoundary) {
  const std::string marker(kTruncationMarker), fill(kMaxRenderedBytes, 'a');
  struct Case {
    std::string format;
    PlistValue::Array args;
    std::string rendered;
  };
  const std::vector<Case> cases = {
      {fill, {}, fill},
      {fill + "b", {}, fill.substr(0, kMaxRenderedBytes - 3) + marker},
      {std::string(64 << 10, 'a'), {}, fill.substr(0, 4093) + marker},
      {"ab" + std::string(3000, ' ') + repeat("é", 600),
       {},
       "ab" + std::string(3000, ' ') + repeat("é", 545) + marker},
      {repeat("%1$@", 1000), {PlistValue(std::string(3000, 'x'))}, std::string(4093, 'x') + marker},
  };
  for (const Case& c : cases) EXPECT_EQ(renderFormat(c.format, c.args), c.rendered);
}

// However a table's forms refer to each other, one field reads a bounded amount of format text.
TEST(StringsFormatsTest, RenderingWorkIsBoundedPerField) {
  const std::string emptyDirectives = repeat("%@", 1'000'000);
  const LocalizedFormat selfReferencing{
      "%#@n@", {{"n", PluralVariable{{{"other", emptyDirectives + "%#@n@"}}, {}}}}, {}};
  const LocalizedFormat nested{"%#@n@", {{"n", PluralVariable{{{"other", "x%#@n@"}}, {}}}}, {}};
  const std::string marker(kTruncationMarker);
  struct Case {
    const char* name;
    const LocalizedFormat& format;
    std::string rendered;
    std::size_t work;
  };
  const std::vector<Case> cases = {
      {"nesting stops at its depth", nested, "xxxxxxxx%#@n@", 5 + 8 * 6},
      {"a million empty directives, over and over", selfReferencing, marker, kMaxRenderWork},
  };
  for (const Case& c : cases) {
    RenderWork work;
    EXPECT_EQ(renderLocalizedFormat(c.format, PluralRules(), {}, &work), c.rendered) << c.name;
    EXPECT_EQ(work.formatBytes, c.work) << c.name;
  }
  RenderWork plain;
  EXPECT_EQ(renderFormat(emptyDirectives, {}, &plain), marker);
  EXPECT_EQ(plain.formatBytes, kMaxRenderWork);
  // A character the allowance cuts is left out whole.
  EXPECT_EQ(renderFormat(repeat("%@", kMaxRenderWork / 2 - 1) + "xé", {}), "x" + marker);
}

}  // namespace
}  // namespace quenlarch::notification_host
