// Faults a user's device meets: writers killed at random moments during a contended run, keychain
// files that are truncated, garbage or a directory, a full disk, and a keychain locked for longer
// than the store waits. Afterwards the store is intact, no count is invented or lost, nothing
// crashes, and every push is shown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "badge/badge_record.h"
#include "badge/keychain_item.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/subprocess.h"
#include "tests/support/fakes.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The file-size limit of the full-disk test must fail writes, not kill this process.
const bool kSigxfszIgnored = [] {
  ::signal(SIGXFSZ, SIG_IGN);
  return true;
}();

constexpr const char* kGroup = "ABCDE12345.com.quenlarch.app.badge";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// The seed of the random kill schedule: FAULT_TEST_SEED to replay a run, else a fresh one. It is
// printed either way, so a failing schedule can be run again.
unsigned killScheduleSeed() {
  const char* given = std::getenv("FAULT_TEST_SEED");
  return given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                          : std::random_device{}();
}

// A writer process whose acknowledgements ("+" per stored increment) are counted as they come.
struct Writer {
  std::unique_ptr<Subprocess> process;
  std::string acks;
  bool outputEnded = false;
  bool killed = false;
};

TEST(FaultTest, WritersKilledAtRandomLeaveAnIntactStoreAndAnHonestCount) {
  testing::TempDir dir("fault");
  const std::string path = dir / "keychain.sqlite";
  const std::string app = "/Applications/Faults.app";
  OpenSslSha256 sha256;
  const HomeScreenBadgeInstallTag tag = makeInstallTag(app, sha256);
  HomeScreenBadgeEnvironment env(tag);
  {
    SqliteKeychain setup(path, std::nullopt);
    ASSERT_EQ(
        setup.add(testing::badgeItemAttributes(kGroup, encodeBadgeRecord({true, 0, tag}, env))),
        errSecSuccess);
  }
  const unsigned seed = killScheduleSeed();
  RecordProperty("kill_schedule_seed", std::to_string(seed));
  std::cout << "kill schedule seed: " << seed << " (FAULT_TEST_SEED replays it)" << std::endl;
  SCOPED_TRACE("kill schedule seed " + std::to_string(seed));

  constexpr std::size_t kWriters = 6;
  constexpr std::size_t kKilled = 4;
  std::vector<Writer> writers(kWriters);
  for (Writer& w : writers) {
    SubprocessOptions options;
    options.argv = {INCREMENT_WRITER_PATH, path, app, kGroup, "300"};
    options.environment = {"WRITER_ACK=1"};
    options.input = SubprocessOptions::Stream::kNull;
    std::string error;
    w.process = Subprocess::start(options, &error);
    ASSERT_NE(w.process, nullptr) << error;  // fatal: no writer, no pid to signal
  }
  // Writer i is killed at killAt[i]: 20 to 220 ms after the one before, as the seed has it.
  std::mt19937 rng(seed);
  std::vector<Subprocess::Clock::time_point> killAt;
  for (auto at = Subprocess::Clock::now(); killAt.size() < kKilled;) {
    at += std::chrono::milliseconds(20 + rng() % 200);
    killAt.push_back(at);
  }
  const auto giveUp = Subprocess::Clock::now() + std::chrono::seconds(120);
  for (std::size_t ended = 0, nextKill = 0; ended < kWriters;) {
    ASSERT_LT(Subprocess::Clock::now(), giveUp) << "the writers did not finish";
    if (nextKill < kKilled && Subprocess::Clock::now() >= killAt[nextKill]) {
      Writer& victim = writers[nextKill++];
      victim.killed = !victim.process->reaped();
      victim.process->kill();
    }
    for (Writer& w : writers) {
      if (w.outputEnded) continue;
      const auto look = Subprocess::Clock::now() + std::chrono::milliseconds(2);
      if (w.process->readOutput(w.acks, look) == Subprocess::ReadStatus::kEnd) {
        w.outputEnded = true;
        ++ended;
      }
    }
  }

  std::size_t acked = 0;
  std::size_t killed = 0;
  for (Writer& w : writers) {
    ASSERT_TRUE(w.process->waitUntil(giveUp));
    acked += static_cast<std::size_t>(std::count(w.acks.begin(), w.acks.end(), '+'));
    killed += w.killed ? 1 : 0;
  }
  SqliteKeychain check(path, std::nullopt);
  EXPECT_EQ(check.integrityCheck(), errSecSuccess);
  HomeScreenBadgeKeychainItem item{std::string(kBadgeKeychainService),
                                   std::string(kBadgeKeychainAccount), std::string(kGroup)};
  auto state = decodeBadgeRecord(readBadgeRecordData(item, check).value(), tag, env);
  ASSERT_TRUE(state.has_value());
  // Every acknowledged increment is stored; at most one more per killed writer was in flight.
  EXPECT_GE(state->count, acked);
  EXPECT_LE(state->count, acked + killed);
}

// An installed app whose pushes go through the real host and extension.
class BrokenStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    app_ = temp_ / "Broken.app";
    keychain_ = temp_ / "keychain.sqlite";
    ASSERT_EQ(badgeApp({"install", "--app", app_}).exitCode, 0);
    ASSERT_EQ(badgeApp({"set-count", "--app", app_, "4"}).exitCode, 0);
  }
  testing::CommandResult badgeApp(std::vector<std::string> args) {
    args.insert(args.begin(), BADGE_APP_PATH);
    return testing::runCommand(
        args, "",
        {"QUENLARCH_KEYCHAIN=" + keychain_, "BADGE_SERVICE_EXECUTABLE=" BADGE_SERVICE_PATH});
  }
  json push(const std::string& keychain, double timeLimit = 10) {
    const std::string payload =
        R"({"aps":{"alert":{"loc-key":"Neue Nachricht"},"badge":99,"mutable-content":1}})";
    auto r = testing::runCommand({NOTIFICATION_HOST_PATH, "deliver", "--app", app_, "--keychain",
                                  keychain, "--time-limit", std::to_string(timeLimit), "-"},
                                 payload + "\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    lastErr_ = r.err;
    return json::parse(r.out, nullptr, false);
  }
  std::optional<int> storedCount() {
    auto r = badgeApp({"status", "--app", app_});
    if (r.exitCode != 0) return std::nullopt;
    return json::parse(r.out)["count"].get<int>();
  }

  testing::TempDir temp_{"fault"};
  std::string dir_;
  std::string app_;
  std::string keychain_;
  std::string lastErr_;  // of the last push()
};

TEST_F(BrokenStoreTest, UnusableKeychainFilesShowThePushAsReceived) {
  const std::string valid = readFile(keychain_);
  struct {
    const char* name;
    std::string content;  // what the keychain file holds; "" with isDirectory for a folder
    bool isDirectory;
    const char* note;  // how the line's badgeNote begins
  } cases[] = {
      {"truncated database", valid.substr(0, 100), false, "keychain unusable: "},
      {"garbage", std::string(8192, '\x5a'), false, "keychain unusable: "},
      {"empty file", "", false, "no badge item"},  // an empty file is an empty database
      {"a directory", "", true, "keychain unusable: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_ + "/broken-" + std::to_string(&c - cases);
    if (c.isDirectory) {
      fs::create_directory(path);
    } else {
      std::ofstream(path, std::ios::binary) << c.content;
      fs::permissions(path, fs::perms(0644));
    }
    json shown = push(path);
    EXPECT_EQ(shown["deliveredBy"], "extension") << "the extension must not crash";
    EXPECT_EQ(shown["badge"], 99) << "shown as received";
    // Counting stops, but never silently: the line says why, and stderr once.
    EXPECT_EQ(shown.value("badgeNote", "").rfind(c.note, 0), 0u) << shown;
    EXPECT_EQ(lastErr_.rfind(
                  "notification-host: the extension counts no badges: " + std::string(c.note), 0),
              0u)
        << lastErr_;
    EXPECT_EQ(std::count(lastErr_.begin(), lastErr_.end(), '\n'), 1) << lastErr_;
    if (!c.isDirectory) {
      EXPECT_EQ(readFile(path), c.content) << "a file that is not ours is never written";
      EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644)) << "nor its mode changed";
    }
  }
  EXPECT_EQ(storedCount(), 4) << "the real store is untouched";
}

// The extension's answer says why, as its platform log would: the note of the request, with the
// store's problem when the keychain cannot be used.
TEST_F(BrokenStoreTest, TheAnswerCarriesTheBadgeNoteWithTheStoresProblem) {
  const std::string garbage = dir_ + "/garbage.sqlite";
  std::ofstream(garbage, std::ios::binary) << std::string(8192, 'x');
  const struct {
    const char* name;
    std::string keychain;
    json log;
  } cases[] = {
      {"the installed keychain", keychain_, json::parse(R"([{"badgeNote":"counted"}])")},
      {"a file that is not a database", garbage,
       json::array(
           {{{"badgeNote", "keychain unusable"},
             {"detail", "the keychain is damaged or not a database (keychain " + garbage + ")"}}})},
      {"no keychain file", dir_ + "/missing.sqlite",
       json::array({{{"badgeNote", "no badge item"},
                     {"detail", "the keychain " + dir_ + "/missing.sqlite" +
                                    " does not exist (badge-app install creates it)"}}})},
  };
  const std::string extension =
      app_ + "/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService";
  const std::string request = R"({"type":"request","id":"1","content":{"userInfo":{"aps":{"alert":)"
                              R"({"loc-key":"Neue Nachricht"}}},"badge":null}})";
  for (const auto& c : cases) {
    auto r = testing::runCommand({extension}, request + "\n", {"QUENLARCH_KEYCHAIN=" + c.keychain});
    EXPECT_EQ(r.exitCode, 0) << c.name << ": " << r.err;
    const std::vector<json> lines = testing::jsonLines(r.out);
    ASSERT_EQ(lines.size(), 2u) << c.name << ": " << r.out;
    EXPECT_EQ(lines[1]["type"], "deliver") << c.name;
    EXPECT_EQ(lines[1]["log"], c.log) << c.name << ": " << r.out;
  }
}

TEST_F(BrokenStoreTest, FullDiskFailsTheIncrementAndLosesNothing) {
  // A file-size limit of one byte makes every write that grows a file fail, as a full disk does.
  rlimit previous{};
  getrlimit(RLIMIT_FSIZE, &previous);
  rlimit tiny = previous;
  tiny.rlim_cur = 1;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tiny), 0);
  json shown = push(keychain_);
  setrlimit(RLIMIT_FSIZE, &previous);

  EXPECT_EQ(shown["deliveredBy"], "extension") << "the extension must not crash";
  // Either the store could not even be opened (shown as received) or only the increment failed
  // (shown with the stored count): never a count that was not stored.
  EXPECT_TRUE(shown["badge"] == 99 || shown["badge"] == 4) << shown.dump();
  EXPECT_EQ(storedCount(), 4);
  SqliteKeychain check(keychain_, std::nullopt);
  EXPECT_EQ(check.integrityCheck(), errSecSuccess);
}

TEST_F(BrokenStoreTest, LockHeldLongerThanTheStoreWaitsShowsTheStoredCount) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(keychain_.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  json shown = push(keychain_, /*timeLimit=*/20);
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  // Reads go on while a writer holds the lock, so the stored count is still shown; the increment
  // gave up when the store's wait ran out.
  EXPECT_EQ(shown["deliveredBy"], "extension");
  EXPECT_EQ(shown["badge"], 4);
  EXPECT_EQ(storedCount(), 4);
}

}  // namespace
}  // namespace quenlarch
