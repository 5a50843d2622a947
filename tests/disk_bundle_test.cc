// Property-list files and bundles on disk: value round trips through libplist, what refuses to be
// read or written, both bundle layouts, the executable-to-bundle rule and the entitlements file.
#include "platform/linux/disk_bundle.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "platform/linux/plist_file.h"
#include "tests/support/binary_plist_builder.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using testing::binaryPlist;
using testing::deepBinaryPlist;
using testing::doublingBinaryPlist;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "disk_bundle_test.XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, std::string_view bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string xmlPlist(std::string_view body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + std::string(body) +
         "</plist>\n";
}

std::optional<PlistValue> parseText(std::string_view text) {
  return plistFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

PlistValue nested(int depth) {
  PlistValue value(1);
  for (int i = 0; i < depth; ++i) {
    PlistValue::Array wrapper;
    wrapper.push_back(std::move(value));
    value = PlistValue(std::move(wrapper));
  }
  return value;
}

std::string binaryOf(plist_t root) {
  char* bin = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string bytes(bin, length);
  plist_to_bin_free(bin);
  plist_free(root);
  return bytes;
}

PlistValue everyType() {
  PlistValue inner;
  inner.set("empty dict", PlistValue());
  inner.set("empty array", PlistValue::Array{});
  PlistValue dict;
  dict.set("string", "straße 🙂 <&> ]]> \"q\"");
  dict.set("empty string", "");
  dict.set("zero", 0);
  dict.set("negative", -5);
  dict.set("int64 min", std::numeric_limits<std::int64_t>::min());
  dict.set("int64 max", std::numeric_limits<std::int64_t>::max());
  dict.set("uint64 max", std::numeric_limits<std::uint64_t>::max());
  dict.set("2^63", std::uint64_t{1} << 63);
  dict.set("real", 0.1);
  dict.set("third", 1.0 / 3);
  dict.set("huge", -1.2345678901234567e300);
  dict.set("true", true);
  dict.set("false", false);
  dict.set("data", PlistData{{0x00, 0xff, 0x00, 0x41}});
  dict.set("empty data", PlistData{});
  dict.set("epoch", PlistDate{0});
  dict.set("1990", PlistDate{-347155200});
  dict.set("2033", PlistDate{1e9});
  dict.set("nested", PlistValue::Array{PlistValue::Array{1, "two", inner}, inner});
  return dict;
}

TEST(PlistFileTest, EveryTypeRoundTripsThroughAnXmlFile) {
  TempDir dir;
  const PlistValue dict = everyType();
  ASSERT_TRUE(writeXmlPlistFile(dir / "all.plist", dict));
  EXPECT_EQ(readPlistFile(dir / "all.plist"), dict);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "all.plist").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // not mkstemp's 0600: others read bundle files
  // Each entry alone as the root, too: scalars are valid roots.
  for (const PlistEntry& entry : *dict.asDictionary()) {
    ASSERT_TRUE(writeXmlPlistFile(dir / "one.plist", entry.value)) << *entry.key.asString();
    EXPECT_EQ(readPlistFile(dir / "one.plist"), entry.value) << *entry.key.asString();
  }
  // Duplicate keys: the first entry is written, the one PlistValue::find sees.
  PlistValue duplicates(PlistValue::Dictionary{PlistEntry{"k", 1}, PlistEntry{"k", 2}});
  PlistValue first;
  first.set("k", 1);
  EXPECT_EQ(parseText(plistToXml(duplicates).value_or("")), first);
}

TEST(PlistFileTest, IntegersKeepTheSignTheXmlSpells) {
  const struct {
    const char* text;
    PlistValue expected;
  } cases[] = {
      {"-5", PlistValue(-5)},
      {"-9223372036854775808", PlistValue(std::numeric_limits<std::int64_t>::min())},
      {"9223372036854775807", PlistValue(std::numeric_limits<std::int64_t>::max())},
      {"9223372036854775808", PlistValue(std::uint64_t{1} << 63)},
      {"18446744073709551611", PlistValue(std::uint64_t{18446744073709551611u})},
      {"18446744073709551615", PlistValue(std::numeric_limits<std::uint64_t>::max())},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseText(xmlPlist(std::string("<integer>") + c.text + "</integer>")), c.expected)
        << c.text;
  }
  // And written the way they read: unsigned stays unsigned.
  EXPECT_NE(plistToXml(PlistValue(std::numeric_limits<std::uint64_t>::max()))
                .value_or("")
                .find("<integer>18446744073709551615</integer>"),
            std::string::npos);
  EXPECT_NE(plistToXml(PlistValue(-1)).value_or("").find("<integer>-1</integer>"),
            std::string::npos);
}

TEST(PlistFileTest, ReadsBinaryPlists) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "negative", plist_new_uint(static_cast<std::uint64_t>(-42)));
  plist_dict_set_item(root, "date", plist_new_date(12, 500000));
  plist_dict_set_item(root, "before epoch", plist_new_date(-100, 750000));  // -99.25 s
  plist_dict_set_item(root, "data", plist_new_data("a\0b", 3));
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("ü"));
  plist_array_append_item(array, plist_new_real(2.5));
  plist_array_append_item(array, plist_new_bool(1));
  plist_dict_set_item(root, "array", array);

  PlistValue expected;
  expected.set("negative", -42);
  expected.set("date", PlistDate{12.5});
  expected.set("before epoch", PlistDate{-99.25});
  expected.set("data", PlistData{{'a', 0, 'b'}});
  expected.set("array", PlistValue::Array{"ü", 2.5, true});

  TempDir dir;
  writeFile(dir / "bin.plist", binaryOf(root));
  EXPECT_EQ(readPlistFile(dir / "bin.plist"), expected);
}

PlistValue doublingValue(int levels) {
  PlistValue value(1);
  for (int i = 0; i < levels; ++i) value = PlistValue(PlistValue::Array{value, value});
  return value;
}

// libplist copies a shared object once per reference: 40 doubling levels, 250 bytes, never finished
// parsing.
TEST(PlistFileTest, SharedReferencesCannotBlowUpABinaryPlist) {
  EXPECT_EQ(parseText(doublingBinaryPlist(10)), doublingValue(10));
  // A string shared by three keys' values, as writers share equal scalars, is fine.
  EXPECT_EQ(parseText(binaryPlist({"\xd3\x01\x02\x03\x04\x04\x04",
                                   {'\x51', 'a'},
                                   {'\x51', 'b'},
                                   {'\x51', 'c'},
                                   {'\x52', 'x', 'y'}})),
            PlistValue(PlistValue::Dictionary{{"a", "xy"}, {"b", "xy"}, {"c", "xy"}}));

  const struct {
    const char* name;
    std::string bytes;
  } refused[] = {
      {"2^18 - 1 nodes", doublingBinaryPlist(17)},
      {"array holding itself", binaryPlist({{'\xa1', '\0'}})},
      {"two arrays holding each other", binaryPlist({"\xa1\x01", {'\xa1', '\0'}})},
      {"reference past the last object", binaryPlist({"\xa1\x01"})},
  };
  for (const auto& c : refused) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(parseText(c.bytes), std::nullopt) << c.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.name;
  }
}

// libplist 2.2 asserts (aborting the process) when asked for a key holding a NUL character.
TEST(PlistFileTest, BinaryKeyWithANulIsRefusedInsteadOfAborting) {
  const std::string one = "\x10\x01";
  const struct {
    const char* name;
    std::string key;  // the encoded key object of a one-entry dictionary
    std::optional<PlistValue> expected;
  } cases[] = {
      {"ascii key", {'\x52', 'a', 'b'}, PlistValue(PlistValue::Dictionary{{"ab", 1}})},
      {"utf-16 key", {'\x62', '\0', 'a', '\0', 'b'}, PlistValue(PlistValue::Dictionary{{"ab", 1}})},
      {"utf-16 key with a NUL", {'\x63', '\0', 'a', '\0', '\0', '\0', 'b'}, std::nullopt},
      {"utf-16 key of one NUL", {'\x61', '\0', '\0'}, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseText(binaryPlist({"\xd1\x01\x02", c.key, one})), c.expected) << c.name;
  }
  // A string value may hold one.
  EXPECT_EQ(
      parseText(binaryPlist({"\xd1\x01\x02", "\x51k", {'\x63', '\0', 'a', '\0', '\0', '\0', 'b'}})),
      PlistValue(PlistValue::Dictionary{{"k", std::string("a\0b", 3)}}));
}

TEST(PlistFileTest, WhatCannotBeReadIsRefusedWithItsReason) {
  const std::string valid = xmlPlist("<array><integer>1</integer><string>x</string></array>");
  const std::string binary = binaryOf(plist_new_string("hello"));
  const std::string uid = binaryOf(plist_new_uid(7));
  const std::string blob(kMaxBinaryPlistBytes, 'x');
  const std::string tooBigBinary = binaryOf(plist_new_data(blob.data(), blob.size()));
  const std::string notAPlist = "not a property list";
  const struct {
    const char* name;
    std::string bytes;
    std::string reason;
  } cases[] = {
      {"empty", "", notAPlist},
      {"garbage", "this is not a property list", notAPlist},
      {"truncated xml", valid.substr(0, valid.size() / 2), notAPlist},
      {"truncated binary", binary.substr(0, binary.size() - 10), notAPlist},
      {"bare binary magic", "bplist00", notAPlist},
      {"dict without key", xmlPlist("<dict><integer>1</integer></dict>"), notAPlist},
      {"keyed-archive uid", uid, notAPlist},
      {"binary over its cap", tooBigBinary, notAPlist},
      {"too large", valid + std::string(kMaxPlistBytes, ' '),
       "larger than " + std::to_string(kMaxPlistBytes) + " bytes"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    writeFile(dir / "bad.plist", c.bytes);
    Expected<PlistValue> loaded = loadPlistFile(dir / "bad.plist");
    ASSERT_FALSE(loaded) << c.name;
    EXPECT_EQ(loaded.error(), c.reason) << c.name;
    EXPECT_EQ(readPlistFile(dir / "bad.plist"), std::nullopt) << c.name;
  }
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const struct {
    std::string path;
    const char* reason;
  } files[] = {
      {dir / "missing.plist", "cannot open: No such file or directory"},
      {dir.path(), "not a regular file"},
      {dir / "fifo", "not a regular file"},  // and does not block
  };
  for (const auto& f : files) {
    Expected<PlistValue> loaded = loadPlistFile(f.path);
    ASSERT_FALSE(loaded) << f.path;
    EXPECT_EQ(loaded.error(), f.reason) << f.path;
  }
}

std::string deepXmlPlist(int depth) {
  std::string body;
  for (int i = 0; i < depth; ++i) body += "<array>";
  body += "<integer>1</integer>";
  for (int i = 0; i < depth; ++i) body += "</array>";
  return xmlPlist(body);
}

TEST(PlistFileTest, NestingDepthIsCappedBothWays) {
  EXPECT_TRUE(plistToXml(nested(kMaxPlistNestingDepth)).has_value());
  EXPECT_FALSE(plistToXml(nested(kMaxPlistNestingDepth + 1)).has_value());
  EXPECT_EQ(parseText(deepXmlPlist(kMaxPlistNestingDepth)), nested(kMaxPlistNestingDepth));
  EXPECT_EQ(parseText(deepXmlPlist(kMaxPlistNestingDepth + 1)), std::nullopt);
  EXPECT_EQ(parseText(deepBinaryPlist(3)),
            PlistValue(PlistValue::Array{PlistValue::Array{PlistValue::Array{}}}));
}

// libplist recurses once per nesting level; hostile nesting within the size caps needs far more
// stack than a pool thread may have. Parsing from a 256 KiB stack must still just say none.
TEST(PlistFileTest, HostileNestingIsRefusedEvenOnASmallStack) {
  const std::string binary = deepBinaryPlist(13000);
  const std::string xml = deepXmlPlist(60000);
  ASSERT_LE(binary.size(), kMaxBinaryPlistBytes);
  ASSERT_LE(xml.size(), kMaxPlistBytes);
  struct Job {
    const std::string* binary;
    const std::string* xml;
    bool binaryRefused = false;
    bool xmlRefused = false;
  } job{&binary, &xml};
  auto run = [](void* arg) -> void* {
    auto* j = static_cast<Job*>(arg);
    j->binaryRefused = !parseText(*j->binary).has_value();
    j->xmlRefused = !parseText(*j->xml).has_value();
    return nullptr;
  };
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, std::size_t{256} << 10), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, run, &job), 0);
  pthread_attr_destroy(&attr);
  pthread_join(thread, nullptr);
  EXPECT_TRUE(job.binaryRefused);
  EXPECT_TRUE(job.xmlRefused);
}

TEST(PlistFileTest, WhatCannotBeWrittenIsRefusedAndLeavesTheOldFile) {
  PlistValue numberKey(PlistValue::Dictionary{PlistEntry{PlistValue(1), PlistValue("one")}});
  const struct {
    const char* name;
    PlistValue value;
  } cases[] = {
      {"non-string key", numberKey},
      {"nested non-string key", PlistValue::Array{numberKey}},
      {"NUL in string", std::string("a\0b", 3)},
      {"NUL in key", PlistValue::Dictionary{PlistEntry{std::string("k\0", 2), PlistValue(1)}}},
      {"infinity", std::numeric_limits<double>::infinity()},
      {"NaN date", PlistDate{std::numeric_limits<double>::quiet_NaN()}},
      {"date in 2100", PlistDate{3.1e9}},
      {"date in 1900", PlistDate{-3.2e9}},
  };
  TempDir dir;
  const std::string path = dir / "keep.plist";
  ASSERT_TRUE(writeXmlPlistFile(path, PlistValue("old")));
  for (const auto& c : cases) {
    EXPECT_EQ(plistToXml(c.value), std::nullopt) << c.name;
    EXPECT_FALSE(writeXmlPlistFile(path, c.value)) << c.name;
  }
  EXPECT_EQ(readPlistFile(path), PlistValue("old"));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1)
      << "temporary files left behind";
  const Expected<void> noFolder = writeXmlPlistFile(dir / "no/such/dir/x.plist", PlistValue("x"));
  ASSERT_FALSE(noFolder);
  EXPECT_EQ(noFolder.error(), "cannot write: No such file or directory");
  EXPECT_FALSE(writeXmlPlistFile(dir.path() + "/", PlistValue("x")));
  const Expected<void> unwritable = writeXmlPlistFile(path, PlistValue(std::string("a\0b", 3)));
  ASSERT_FALSE(unwritable);
  EXPECT_EQ(unwritable.error(), "the value cannot be written as a property list");
  ASSERT_TRUE(writeXmlPlistFile(path, PlistValue("secret"), 0600));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u) << "the mode asked for, whatever the umask";
}

// ---- bundles

TEST(DiskBundleTest, ReadsInfoPlistFromEitherLayout) {
  const std::string info = xmlPlist("<dict><key>Group</key><string>group.x</string></dict>");
  const std::string other = xmlPlist("<dict><key>Group</key><string>flat</string></dict>");
  const std::string arrayRoot = xmlPlist("<array><string>Group</string></array>");
  const struct {
    const char* name;
    std::optional<std::string> contentsInfo;  // none: no file
    std::optional<std::string> flatInfo;
    std::optional<PlistValue> group;
  } cases[] = {
      {"nested", info, std::nullopt, PlistValue("group.x")},
      {"flat", std::nullopt, info, PlistValue("group.x")},
      {"nested wins", info, other, PlistValue("group.x")},
      {"broken nested, no fallback", "garbage", other, std::nullopt},
      {"empty nested, no fallback", "", other, std::nullopt},
      {"neither", std::nullopt, std::nullopt, std::nullopt},
      {"array root", arrayRoot, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string bundle = dir / "X.appex";
    fs::create_directories(bundle);
    if (c.contentsInfo) writeFile(bundle + "/Contents/Info.plist", *c.contentsInfo);
    if (c.flatInfo) writeFile(bundle + "/Info.plist", *c.flatInfo);
    auto opened = DiskBundle::open(bundle);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->objectForInfoDictionaryKey("Group"), c.group) << c.name;
    EXPECT_EQ(opened->objectForInfoDictionaryKey("Missing"), std::nullopt) << c.name;
  }
}

TEST(DiskBundleTest, InfoValuesKeepTheirType) {
  TempDir dir;
  writeFile(dir / "B/Info.plist",
            xmlPlist("<dict><key>Group</key><integer>7</integer>"
                     "<key>List</key><array><string>a</string></array></dict>"));
  auto bundle = DiskBundle::open(dir / "B");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("Group"), PlistValue(7));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("List"), PlistValue(PlistValue::Array{"a"}));
}

TEST(DiskBundleTest, BundleUrlIsAbsoluteWithoutTrailingSlashAndKeepsSymlinks) {
  TempDir dir;
  fs::create_directories(dir / "real.appex");
  fs::create_directory_symlink(dir / "real.appex", dir / "link.appex");
  EXPECT_EQ(DiskBundle::open(dir / "link.appex/")->bundleURL(), dir / "link.appex");
  EXPECT_EQ(DiskBundle::open(dir / "real.appex/.")->bundleURL(), dir / "real.appex");
  EXPECT_EQ(DiskBundle::open("/")->bundleURL(), "/");
  const std::string cwd = fs::current_path().string();
  EXPECT_EQ(DiskBundle::open("rel/X.appex//")->bundleURL(), cwd + "/rel/X.appex");
  EXPECT_EQ(DiskBundle::open("")->bundleURL(), cwd);
}

TEST(DiskBundleTest, BundlePathForExecutable) {
  const struct {
    const char* exe;
    std::optional<std::string> bundle;
  } cases[] = {
      {"/a/X.appex/Contents/MacOS/exe", "/a/X.appex"},
      {"/a/X.appex/exe", "/a/X.appex"},
      {"/a/X.appex/Contents/exe", "/a/X.appex/Contents"},
      {"/a/X.appex/MacOS/exe", "/a/X.appex/MacOS"},
      {"/a//X.appex/Contents/./MacOS/exe", "/a/X.appex"},
      {"X.appex/Contents/MacOS/exe", "X.appex"},
      {"/Contents/MacOS/exe", "/"},
      {"/exe", "/"},
      {"Contents/MacOS/exe", std::nullopt},
      {"exe", std::nullopt},
      {"/a/X.appex/", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bundlePathForExecutable(c.exe), c.bundle) << c.exe;
  }
  // This test binary is not in a bundle: its own directory stands in.
  EXPECT_EQ(mainBundlePath(), fs::read_symlink("/proc/self/exe").parent_path().string());
}

TEST(DiskBundleTest, KeychainAccessGroupsEntitlement) {
  const std::string key = "<key>keychain-access-groups</key>";
  const struct {
    const char* name;
    std::string file;  // empty: no file
    bool flat;
    std::optional<std::vector<std::string>> groups;
  } cases[] = {
      {"present",
       xmlPlist("<dict>" + key +
                "<array><string>T.a</string><string>T.b</string>"
                "</array></dict>"),
       false, std::vector<std::string>{"T.a", "T.b"}},
      {"flat layout", xmlPlist("<dict>" + key + "<array><string>T.a</string></array></dict>"), true,
       std::vector<std::string>{"T.a"}},
      {"empty array", xmlPlist("<dict>" + key + "<array/></dict>"), false,
       std::vector<std::string>{}},
      {"missing file", "", false, std::nullopt},
      {"key absent", xmlPlist("<dict><key>other</key><true/></dict>"), false, std::nullopt},
      {"string, not array", xmlPlist("<dict>" + key + "<string>T.a</string></dict>"), false,
       std::nullopt},
      {"non-string element",
       xmlPlist("<dict>" + key +
                "<array><string>T.a</string>"
                "<integer>1</integer></array></dict>"),
       false, std::nullopt},
      {"array root", xmlPlist("<array><string>T.a</string></array>"), false, std::nullopt},
      {"garbage", "garbage", false, std::nullopt},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string bundle = dir / "X.appex";
    fs::create_directories(bundle);
    if (!c.file.empty()) writeFile(entitlementsPlistPath(bundle, c.flat), c.file);
    EXPECT_EQ(keychainAccessGroupsEntitlement(bundle), c.groups) << c.name;
  }
  EXPECT_EQ(entitlementsPlistPath("/b/X.appex/"), "/b/X.appex/Contents/Entitlements.plist");
  EXPECT_EQ(entitlementsPlistPath("/b/X.appex", true), "/b/X.appex/Entitlements.plist");
}

}  // namespace
}  // namespace quenlarch
