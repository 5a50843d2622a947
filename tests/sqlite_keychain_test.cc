// The SQLite keychain against real files: which queries match which items, result shapes,
// malformed queries, entitlements, file permissions, broken or locked databases, and where the
// database lives by default.
#include "platform/linux/sqlite_keychain.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/fakes.h"

namespace quenlarch {
namespace {

PlistValue bytes(ByteString value) { return PlistValue(PlistData{std::move(value)}); }

// The badge item as the tests store it; `changes` overrides or adds attributes.
KeychainQuery item(const KeychainQuery& changes = {}) {
  KeychainQuery attributes = {{kSecClass, PlistValue(kSecClassGenericPassword)},
                              {kSecAttrService, PlistValue("svc")},
                              {kSecAttrAccount, PlistValue("acct")},
                              {kSecAttrAccessGroup, PlistValue("group.a")},
                              {kSecAttrGeneric, bytes({1, 2, 3})},
                              {kSecValueData, bytes({9})}};
  for (const auto& [key, value] : changes) attributes[key] = value;
  return attributes;
}

KeychainQuery without(KeychainQuery query, const char* key) {
  query.erase(key);
  return query;
}

// A query for the badge item's identity (no generic attribute, no data) with `changes` applied.
KeychainQuery identity(const KeychainQuery& changes = {}) {
  KeychainQuery query = without(without(item(), kSecAttrGeneric), kSecValueData);
  for (const auto& [key, value] : changes) query[key] = value;
  return query;
}

KeychainQuery returning(KeychainQuery query) {
  query[kSecReturnAttributes] = PlistValue(true);
  query[kSecReturnData] = PlistValue(true);
  return query;
}

std::optional<ByteString> dataOf(const KeychainMatch& match, const char* key) {
  if (!match.result) return std::nullopt;
  const PlistValue* value = match.result->find(key);
  if (value == nullptr || !value->isData()) return std::nullopt;
  return value->asData()->bytes;
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = std::filesystem::temp_directory_path() / "keychain-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class SqliteKeychainTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string path_ = folder_.file("keychain.sqlite");
  SqliteKeychain app_{path_, std::nullopt};
};

struct MatchCase {
  const char* name;
  KeychainQuery stored;
  KeychainQuery query;
  OSStatus expected;
};

void PrintTo(const MatchCase& c, std::ostream* out) { *out << c.name; }

class MatchingTest : public SqliteKeychainTest, public ::testing::WithParamInterface<MatchCase> {};

// copyMatching, update and remove share one notion of a match.
TEST_P(MatchingTest, CopyUpdateAndRemoveAgree) {
  const MatchCase& c = GetParam();
  ASSERT_EQ(app_.add(c.stored), errSecSuccess);
  KeychainQuery stored = c.stored;
  stored.erase(kSecAttrGeneric);
  stored.erase(kSecValueData);

  EXPECT_EQ(app_.copyMatching(c.query).status, c.expected);
  EXPECT_EQ(app_.update(c.query, {{kSecValueData, bytes({7})}}), c.expected);
  std::optional<ByteString> data = dataOf(app_.copyMatching(returning(stored)), kSecValueData);
  EXPECT_EQ(data, c.expected == errSecSuccess ? ByteString{7} : ByteString{9});
  EXPECT_EQ(app_.remove(c.query), c.expected);
  EXPECT_EQ(app_.copyMatching(stored).status,
            c.expected == errSecSuccess ? errSecItemNotFound : errSecSuccess);
}

// The test fake obeys the same contract through the same code: the same answers, case by case.
TEST_P(MatchingTest, TheFakeKeychainAgrees) {
  const MatchCase& c = GetParam();
  testing::FakeKeychain fake;
  ASSERT_EQ(fake.add(c.stored), errSecSuccess);
  EXPECT_EQ(fake.copyMatching(c.query).status, c.expected);
  EXPECT_EQ(fake.update(c.query, {{kSecValueData, bytes({7})}}), c.expected);
  EXPECT_EQ(fake.remove(c.query), c.expected);
}

const PlistValue kSync(true);
const PlistValue kNotSync(false);

INSTANTIATE_TEST_SUITE_P(
    Cases, MatchingTest,
    ::testing::Values(
        MatchCase{"FullIdentity", item(), identity(), errSecSuccess},
        MatchCase{"ClassOnly", item(), {{kSecClass, PlistValue("genp")}}, errSecSuccess},
        MatchCase{"OtherService", item(), identity({{kSecAttrService, PlistValue("svc2")}}),
                  errSecItemNotFound},
        MatchCase{"ServiceDiffersInCase", item(), identity({{kSecAttrService, PlistValue("SVC")}}),
                  errSecItemNotFound},
        MatchCase{"OtherAccount", item(), identity({{kSecAttrAccount, PlistValue("x")}}),
                  errSecItemNotFound},
        MatchCase{"OtherGroup", item(), identity({{kSecAttrAccessGroup, PlistValue("group.b")}}),
                  errSecItemNotFound},
        MatchCase{"NotSyncNamed", item(), identity({{kSecAttrSynchronizable, kNotSync}}),
                  errSecSuccess},
        MatchCase{"SyncNamedForPlainItem", item(), identity({{kSecAttrSynchronizable, kSync}}),
                  errSecItemNotFound},
        MatchCase{"SyncItemSyncUnnamed", item({{kSecAttrSynchronizable, kSync}}), identity(),
                  errSecItemNotFound},
        MatchCase{"SyncItemSyncNamed", item({{kSecAttrSynchronizable, kSync}}),
                  identity({{kSecAttrSynchronizable, kSync}}), errSecSuccess},
        MatchCase{"GenericExact", item(), identity({{kSecAttrGeneric, bytes({1, 2, 3})}}),
                  errSecSuccess},
        MatchCase{"GenericPrefix", item(), identity({{kSecAttrGeneric, bytes({1, 2})}}),
                  errSecItemNotFound},
        MatchCase{"GenericLonger", item(), identity({{kSecAttrGeneric, bytes({1, 2, 3, 0})}}),
                  errSecItemNotFound},
        MatchCase{"GenericOneByteOff", item(), identity({{kSecAttrGeneric, bytes({1, 2, 4})}}),
                  errSecItemNotFound},
        MatchCase{"GenericEmptyVersusBytes", item(), identity({{kSecAttrGeneric, bytes({})}}),
                  errSecItemNotFound},
        MatchCase{"EmptyGenericMatchesEmpty", item({{kSecAttrGeneric, bytes({})}}),
                  identity({{kSecAttrGeneric, bytes({})}}), errSecSuccess},
        MatchCase{"AbsentGenericNeverMatchesEmpty", without(item(), kSecAttrGeneric),
                  identity({{kSecAttrGeneric, bytes({})}}), errSecItemNotFound},
        MatchCase{"AbsentGenericNeverMatchesBytes", without(item(), kSecAttrGeneric),
                  identity({{kSecAttrGeneric, bytes({1, 2, 3})}}), errSecItemNotFound},
        MatchCase{"AbsentGenericUnnamed", without(item(), kSecAttrGeneric), identity(),
                  errSecSuccess},
        MatchCase{"AbsentGenericMatchesNull", without(item(), kSecAttrGeneric),
                  identity({{kSecAttrGeneric, PlistValue(PlistNull{})}}), errSecSuccess},
        MatchCase{"PresentGenericNeverMatchesNull", item(),
                  identity({{kSecAttrGeneric, PlistValue(PlistNull{})}}), errSecItemNotFound},
        MatchCase{"EmptyGenericNeverMatchesNull", item({{kSecAttrGeneric, bytes({})}}),
                  identity({{kSecAttrGeneric, PlistValue(PlistNull{})}}), errSecItemNotFound}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST_F(SqliteKeychainTest, UpdateNamingGenericIsACompareAndSwap) {
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  KeychainQuery expectOld = identity({{kSecAttrGeneric, bytes({1, 2, 3})}});
  EXPECT_EQ(app_.update(expectOld, {{kSecAttrGeneric, bytes({4})}}), errSecSuccess);
  EXPECT_EQ(app_.update(expectOld, {{kSecAttrGeneric, bytes({5})}}), errSecItemNotFound);
  EXPECT_EQ(dataOf(app_.copyMatching(returning(identity())), kSecAttrGeneric), ByteString{4});
  // Writing the same bytes back still counts as a match.
  EXPECT_EQ(app_.update(identity({{kSecAttrGeneric, bytes({4})}}), {{kSecAttrGeneric, bytes({4})}}),
            errSecSuccess);
}

TEST_F(SqliteKeychainTest, IdentityIsServiceAccountGroupAndSync) {
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  EXPECT_EQ(app_.add(item({{kSecAttrGeneric, bytes({8})}})), errSecDuplicateItem);
  EXPECT_EQ(app_.add(item({{kSecAttrSynchronizable, kSync}})), errSecSuccess);
  EXPECT_EQ(app_.add(item({{kSecAttrAccessGroup, PlistValue("group.b")}})), errSecSuccess);
  EXPECT_EQ(app_.add(item({{kSecAttrAccount, PlistValue("other")}})), errSecSuccess);
  // Renaming onto an existing identity is a duplicate too, and leaves both items alone.
  EXPECT_EQ(app_.update(identity({{kSecAttrAccount, PlistValue("other")}}),
                        {{kSecAttrAccount, PlistValue("acct")}}),
            errSecDuplicateItem);
  EXPECT_EQ(app_.copyMatching(identity({{kSecAttrAccount, PlistValue("other")}})).status,
            errSecSuccess);
}

TEST_F(SqliteKeychainTest, RemoveTakesEveryMatchOnce) {
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  ASSERT_EQ(app_.add(item({{kSecAttrAccount, PlistValue("other")}})), errSecSuccess);
  KeychainQuery service = {{kSecClass, PlistValue("genp")}, {kSecAttrService, PlistValue("svc")}};
  EXPECT_EQ(app_.remove(service), errSecSuccess);
  EXPECT_EQ(app_.copyMatching(service).status, errSecItemNotFound);
  EXPECT_EQ(app_.remove(service), errSecItemNotFound);
}

TEST_F(SqliteKeychainTest, ResultShapesFollowTheReturnFlags) {
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  PlistValue attributes;
  attributes.set(kSecClass, PlistValue("genp"));
  attributes.set(kSecAttrService, PlistValue("svc"));
  attributes.set(kSecAttrAccount, PlistValue("acct"));
  attributes.set(kSecAttrAccessGroup, PlistValue("group.a"));
  attributes.set(kSecAttrSynchronizable, PlistValue(false));
  attributes.set(kSecAttrGeneric, bytes({1, 2, 3}));
  PlistValue attributesAndData = attributes;
  attributesAndData.set(kSecValueData, bytes({9}));
  PlistValue dataOnly;
  dataOnly.set(kSecValueData, bytes({9}));

  struct {
    std::optional<bool> returnAttributes, returnData;
    std::optional<PlistValue> expected;
  } cases[] = {{std::nullopt, std::nullopt, std::nullopt},
               {false, false, std::nullopt},
               {true, std::nullopt, attributes},
               {true, false, attributes},
               {true, true, attributesAndData},
               {std::nullopt, true, dataOnly}};
  for (const auto& c : cases) {
    KeychainQuery query = identity({{kSecMatchLimit, PlistValue(kSecMatchLimitOne)}});
    if (c.returnAttributes) query[kSecReturnAttributes] = PlistValue(*c.returnAttributes);
    if (c.returnData) query[kSecReturnData] = PlistValue(*c.returnData);
    KeychainMatch match = app_.copyMatching(query);
    EXPECT_EQ(match.status, errSecSuccess);
    EXPECT_EQ(match.result, c.expected)
        << c.returnAttributes.value_or(false) << " " << c.returnData.value_or(false);
  }
  // Left-out service and account are stored empty; absent generic stays absent.
  ASSERT_EQ(app_.add({{kSecClass, PlistValue("genp")}, {kSecAttrAccessGroup, PlistValue("g")}}),
            errSecSuccess);
  KeychainMatch bare = app_.copyMatching(
      returning({{kSecClass, PlistValue("genp")}, {kSecAttrAccessGroup, PlistValue("g")}}));
  ASSERT_TRUE(bare.result.has_value());
  EXPECT_EQ(*bare.result->find(kSecAttrService), PlistValue(""));
  EXPECT_EQ(bare.result->find(kSecAttrGeneric), nullptr);
  EXPECT_EQ(*bare.result->find(kSecValueData), bytes({}));
}

TEST_F(SqliteKeychainTest, MalformedQueriesAreRefusedBeforeTheFileIsTouched) {
  const KeychainQuery good = identity();
  struct {
    const char* what;
    KeychainQuery query;
    KeychainQuery changes;  // for update; empty means "use a valid one"
  } cases[] = {
      {"no class", without(good, kSecClass), {}},
      {"other class", identity({{kSecClass, PlistValue("inet")}}), {}},
      {"class not a string", identity({{kSecClass, PlistValue(1)}}), {}},
      {"service not a string", identity({{kSecAttrService, bytes({1})}}), {}},
      {"account not a string", identity({{kSecAttrAccount, PlistValue(3)}}), {}},
      {"group not a string", identity({{kSecAttrAccessGroup, PlistValue(true)}}), {}},
      {"sync not a boolean", identity({{kSecAttrSynchronizable, PlistValue(1)}}), {}},
      {"generic not data", identity({{kSecAttrGeneric, PlistValue("123")}}), {}},
      {"unknown key", identity({{"labl", PlistValue("x")}}), {}},
      {"changes the class", good, {{kSecClass, PlistValue("inet")}}},
      {"changes nothing", good, {{kSecClass, PlistValue("genp")}}},
      {"new data not data", good, {{kSecValueData, PlistValue("x")}}},
      {"new sync not a boolean", good, {{kSecAttrSynchronizable, PlistValue("yes")}}},
      {"control among changes", good, {{kSecReturnData, PlistValue(true)}}},
      {"null generic among changes", good, {{kSecAttrGeneric, PlistValue(PlistNull{})}}},
  };
  for (const auto& c : cases) {
    const bool queryIsBad = c.changes.empty();
    const KeychainQuery changes =
        queryIsBad ? KeychainQuery{{kSecValueData, bytes({})}} : c.changes;
    EXPECT_EQ(app_.update(c.query, changes), errSecParam) << c.what;
    if (!queryIsBad) continue;
    EXPECT_EQ(app_.copyMatching(c.query).status, errSecParam) << c.what;
    EXPECT_EQ(app_.remove(c.query), errSecParam) << c.what;
    EXPECT_EQ(app_.add(c.query), errSecParam) << c.what;
  }
  // Controls belong to copyMatching only, with their own types; data is never matched on.
  EXPECT_EQ(app_.copyMatching(identity({{kSecMatchLimit, PlistValue("m_LimitAll")}})).status,
            errSecParam);
  EXPECT_EQ(app_.copyMatching(identity({{kSecMatchLimit, PlistValue(1)}})).status, errSecParam);
  EXPECT_EQ(app_.copyMatching(identity({{kSecReturnData, PlistValue("yes")}})).status, errSecParam);
  EXPECT_EQ(app_.copyMatching(without(item(), kSecAttrGeneric)).status, errSecParam);  // has data
  EXPECT_EQ(app_.remove(identity({{kSecReturnAttributes, PlistValue(true)}})), errSecParam);
  EXPECT_EQ(app_.add(item({{kSecReturnAttributes, PlistValue(true)}})), errSecParam);
  EXPECT_EQ(app_.add(without(item(), kSecClass)), errSecParam);
  EXPECT_EQ(app_.add(item({{kSecAttrGeneric, PlistValue(PlistNull{})}})), errSecParam);
  // An unrestricted process has no default group to add to.
  EXPECT_EQ(app_.add(without(item(), kSecAttrAccessGroup)), errSecParam);
  EXPECT_FALSE(exists(path_));
}

TEST_F(SqliteKeychainTest, RefusedEntitlementsNeverTouchTheFile) {
  SqliteKeychain extension(path_, std::vector<std::string>{"group.a"});
  SqliteKeychain unentitled(path_, std::vector<std::string>{});
  const KeychainQuery otherGroup = identity({{kSecAttrAccessGroup, PlistValue("group.b")}});
  const KeychainQuery change = {{kSecValueData, bytes({1})}};
  EXPECT_EQ(extension.copyMatching(otherGroup).status, errSecMissingEntitlement);
  EXPECT_EQ(extension.update(otherGroup, change), errSecMissingEntitlement);
  EXPECT_EQ(extension.update(identity(), {{kSecAttrAccessGroup, PlistValue("group.b")}}),
            errSecMissingEntitlement);
  EXPECT_EQ(extension.add(item({{kSecAttrAccessGroup, PlistValue("group.b")}})),
            errSecMissingEntitlement);
  EXPECT_EQ(extension.remove(otherGroup), errSecMissingEntitlement);
  for (const KeychainQuery& query : {identity(), without(identity(), kSecAttrAccessGroup)}) {
    EXPECT_EQ(unentitled.copyMatching(query).status, errSecMissingEntitlement);
    EXPECT_EQ(unentitled.update(query, change), errSecMissingEntitlement);
    EXPECT_EQ(unentitled.add(item()), errSecMissingEntitlement);
    EXPECT_EQ(unentitled.remove(query), errSecMissingEntitlement);
  }
  EXPECT_FALSE(exists(path_));
}

TEST_F(SqliteKeychainTest, RestrictedQueriesWithoutAGroupStayInTheEntitledOnes) {
  const KeychainQuery groupB = {{kSecAttrAccessGroup, PlistValue("group.b")}};
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  ASSERT_EQ(
      app_.add(item({{kSecAttrAccessGroup, PlistValue("group.b")}, {kSecValueData, bytes({2})}})),
      errSecSuccess);
  SqliteKeychain extension(path_, std::vector<std::string>{"group.b", "group.c"});
  KeychainQuery anyGroup = identity();
  anyGroup.erase(kSecAttrAccessGroup);

  EXPECT_EQ(dataOf(extension.copyMatching(returning(anyGroup)), kSecValueData), ByteString{2});
  EXPECT_EQ(extension.update(anyGroup, {{kSecValueData, bytes({3})}}), errSecSuccess);
  EXPECT_EQ(dataOf(app_.copyMatching(returning(identity())), kSecValueData), ByteString{9});
  EXPECT_EQ(dataOf(app_.copyMatching(returning(identity(groupB))), kSecValueData), ByteString{3});
  EXPECT_EQ(extension.remove(anyGroup), errSecSuccess);
  EXPECT_EQ(extension.remove(anyGroup), errSecItemNotFound);
  EXPECT_EQ(app_.copyMatching(identity()).status, errSecSuccess);
  // Added without a group, the item goes to the first entitled one.
  KeychainQuery newItem = item();
  newItem.erase(kSecAttrAccessGroup);
  EXPECT_EQ(extension.add(newItem), errSecSuccess);
  EXPECT_EQ(app_.copyMatching(identity(groupB)).status, errSecSuccess);
}

TEST_F(SqliteKeychainTest, OpensLazilyAndCreatesOwnerOnlyFiles) {
  const std::string nested = folder_.file("a/b/keychain.sqlite");
  { SqliteKeychain unused(nested, std::nullopt); }
  EXPECT_FALSE(exists(folder_.file("a")));

  // A permissive umask must not leak into the files.
  const mode_t previous = ::umask(0);
  SqliteKeychain keychain(nested, std::nullopt);
  const OSStatus added = keychain.add(item());
  ::umask(previous);
  ASSERT_EQ(added, errSecSuccess);
  auto mode = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 01000u;
  };
  EXPECT_EQ(mode(folder_.file("a")), 0700u);
  EXPECT_EQ(mode(folder_.file("a/b")), 0700u);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    EXPECT_EQ(mode(nested + suffix), 0600u) << suffix;
  }
}

TEST_F(SqliteKeychainTest, BrokenDatabasesAreUnavailableNotFatal) {
  std::string valid = folder_.file("valid.sqlite");
  {
    SqliteKeychain writer(valid, std::nullopt);
    ASSERT_EQ(writer.add(item()), errSecSuccess);
    EXPECT_EQ(writer.integrityCheck(), errSecSuccess);
  }
  auto contents = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string database = contents(valid);
  ASSERT_GT(database.size(), 4096u);
  struct {
    const char* what;
    std::string contents;
  } cases[] = {
      {"garbage", std::string(8192, 'x')},
      {"header then garbage", std::string("SQLite format 3", 16) + std::string(8176, '\x7f')},
      {"truncated to its first page", database.substr(0, 4096)},
      {"truncated mid-header", database.substr(0, 60)},
  };
  for (const auto& c : cases) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << c.contents;
    ASSERT_EQ(::chmod(path_.c_str(), 0644), 0);
    SqliteKeychain keychain(path_, std::nullopt);
    EXPECT_EQ(keychain.copyMatching(identity()).status, errSecStoreUnavailable) << c.what;
    EXPECT_EQ(keychain.update(identity(), {{kSecValueData, bytes({})}}), errSecStoreUnavailable)
        << c.what;
    EXPECT_EQ(keychain.add(item()), errSecStoreUnavailable) << c.what;
    EXPECT_EQ(keychain.remove(identity()), errSecStoreUnavailable) << c.what;
    EXPECT_EQ(keychain.integrityCheck(), errSecStoreUnavailable) << c.what;
    EXPECT_EQ(contents(path_), c.contents) << c.what;
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u)
        << c.what << ": a file that is not a keychain was changed";
  }

  // Paths that cannot hold a database.
  std::filesystem::create_directory(folder_.file("folder"));
  for (const std::string& path :
       {folder_.file("folder"), path_ + "/inside-a-file", std::string()}) {
    EXPECT_EQ(SqliteKeychain(path, std::nullopt).add(item()), errSecStoreUnavailable) << path;
  }

  if (::geteuid() != 0) {  // root reads files whatever their mode
    ::chmod(valid.c_str(), 0);
    EXPECT_EQ(SqliteKeychain(valid, std::nullopt).copyMatching(identity()).status,
              errSecStoreUnavailable);
  }
}

// The keychain is the user's secret store: owner-only, never reached through a link, and a
// lookup of a keychain that does not exist leaves no folder and no database behind.
TEST_F(SqliteKeychainTest, TheFileIsOwnerOnlyAndNeverReachedThroughALink) {
  auto mode = [](const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 0777) : 01000u;
  };
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  // app_ keeps its connection, and with it the -wal and -shm files, open.
  for (const char* suffix : {"", "-wal", "-shm"}) {
    if (exists(path_ + suffix)) ::chmod((path_ + suffix).c_str(), 0644);
  }
  SqliteKeychain reader(path_, std::nullopt);
  EXPECT_EQ(reader.copyMatching(identity()).status, errSecSuccess);
  for (const char* suffix : {"", "-wal", "-shm"}) {
    ASSERT_TRUE(exists(path_ + suffix)) << suffix;
    EXPECT_EQ(mode(path_ + suffix), 0600u) << "tightened " << suffix;
  }

  // A link in place of the keychain, or of its log, is refused and its target left alone.
  struct {
    const char* what;
    std::string link;
    std::string target;
  } links[] = {
      {"keychain", folder_.file("link.sqlite"), path_},
      {"keychain to a missing file", folder_.file("dangling.sqlite"), folder_.file("none")},
      {"write-ahead log", folder_.file("own.sqlite") + "-wal", folder_.file("elsewhere")},
  };
  ASSERT_EQ(SqliteKeychain(folder_.file("own.sqlite"), std::nullopt).add(item()), errSecSuccess);
  for (const auto& c : links) {
    std::filesystem::remove(c.link);
    std::filesystem::create_symlink(c.target, c.link);
    const std::string database = c.link.ends_with("-wal") ? folder_.file("own.sqlite") : c.link;
    SqliteKeychain keychain(database, std::nullopt);
    EXPECT_EQ(keychain.add(item({{kSecAttrAccount, PlistValue("new")}})), errSecStoreUnavailable)
        << c.what;
    EXPECT_EQ(keychain.lastProblem(), KeychainStoreProblem::kSymlink) << c.what;
    EXPECT_EQ(keychain.checkStore(), KeychainStoreProblem::kSymlink) << c.what;
  }
  EXPECT_FALSE(exists(folder_.file("none")));
  EXPECT_EQ(reader.copyMatching(identity({{kSecAttrAccount, PlistValue("new")}})).status,
            errSecItemNotFound);

  const std::string nested = folder_.file("a/b/keychain.sqlite");
  SqliteKeychain missing(nested, std::nullopt);
  EXPECT_EQ(missing.copyMatching(identity()).status, errSecItemNotFound);
  EXPECT_EQ(missing.update(identity(), {{kSecValueData, bytes({1})}}), errSecItemNotFound);
  EXPECT_EQ(missing.remove(identity()), errSecItemNotFound);
  EXPECT_EQ(missing.checkStore(), KeychainStoreProblem::kNone);
  EXPECT_FALSE(exists(folder_.file("a")));
  std::ofstream(folder_.file("empty.sqlite")).close();
  SqliteKeychain empty(folder_.file("empty.sqlite"), std::nullopt);
  EXPECT_EQ(empty.copyMatching(identity()).status, errSecItemNotFound);
  EXPECT_EQ(std::filesystem::file_size(folder_.file("empty.sqlite")), 0u) << "a lookup wrote";
}

TEST_F(SqliteKeychainTest, WritersWaitForTheLockOnlyUntilTheTimeout) {
  ASSERT_EQ(app_.add(item()), errSecSuccess);
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

  SqliteKeychain impatient(path_, std::nullopt, std::chrono::milliseconds(50));
  // WAL readers do not wait for a writer.
  EXPECT_EQ(impatient.copyMatching(identity()).status, errSecSuccess);
  EXPECT_EQ(impatient.update(identity(), {{kSecValueData, bytes({1})}}), errSecStoreUnavailable);
  EXPECT_EQ(impatient.add(item({{kSecAttrAccount, PlistValue("b")}})), errSecStoreUnavailable);
  EXPECT_EQ(impatient.lastProblem(), KeychainStoreProblem::kBusy);

  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  EXPECT_EQ(impatient.update(identity(), {{kSecValueData, bytes({1})}}), errSecSuccess);
}

TEST(DefaultKeychainPathTest, FollowsTheEnvironment) {
  const char* names[] = {"QUENLARCH_KEYCHAIN", "XDG_DATA_HOME", "HOME"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i) {
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  }
  struct {
    const char* values[3];  // nullptr: unset
    const char* expected;
  } cases[] = {
      {{"/k/keychain.db", "/data", "/home/u"}, "/k/keychain.db"},
      {{"", "/data", "/home/u"}, "/data/quenlarch/keychain.sqlite"},
      {{nullptr, "relative/data", "/home/u"}, "/home/u/.local/share/quenlarch/keychain.sqlite"},
      {{nullptr, "", "/home/u"}, "/home/u/.local/share/quenlarch/keychain.sqlite"},
      {{nullptr, nullptr, "/home/u"}, "/home/u/.local/share/quenlarch/keychain.sqlite"},
  };
  for (const auto& c : cases) {
    for (int i = 0; i < 3; ++i) {
      if (c.values[i] != nullptr) {
        ::setenv(names[i], c.values[i], 1);
      } else {
        ::unsetenv(names[i]);
      }
    }
    Expected<std::string> path = defaultKeychainPath();
    ASSERT_TRUE(path) << path.error();
    EXPECT_EQ(*path, c.expected);
  }
  for (int i = 0; i < 3; ++i) {
    if (saved[i]) {
      ::setenv(names[i], saved[i]->c_str(), 1);
    } else {
      ::unsetenv(names[i]);
    }
  }
}

// Not a timed test: prints what one durable single-row compare-and-swap costs on this machine.
TEST_F(SqliteKeychainTest, ReportsTheCostOfADurableUpdate) {
  ASSERT_EQ(app_.add(item({{kSecAttrGeneric, bytes({0})}})), errSecSuccess);
  constexpr int kUpdates = 200;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kUpdates; ++i) {
    const auto from = static_cast<std::uint8_t>(i);
    const auto to = static_cast<std::uint8_t>(i + 1);
    ASSERT_EQ(
        app_.update(identity({{kSecAttrGeneric, bytes({from})}}), {{kSecAttrGeneric, bytes({to})}}),
        errSecSuccess);
  }
  const std::chrono::duration<double, std::micro> elapsed =
      std::chrono::steady_clock::now() - start;
  std::printf("durable single-row update: %.0f us\n", elapsed.count() / kUpdates);
}

}  // namespace
}  // namespace quenlarch
