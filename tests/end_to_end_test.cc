// The whole system as a user runs it: badge-app installs an app, notification-host starts the real
// BadgeService extension per push, and the real keychain store holds the counter. Covers each
// situation the badge pipeline distinguishes, a keychain held locked past the time limit, a crash
// mid-request, a replaced handler, and many hosts delivering at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* const kCounted = R"({"aps":{"alert":{"loc-key":"Neue Nachricht","title":"Ada"}}})";
const char* const kCountedWithBadge =
    R"({"aps":{"alert":{"loc-key":"Verpasster Anruf"},"badge":99}})";
const char* const kUncounted = R"({"aps":{"alert":"Hallo"}})";
const char* const kUncountedWithBadge = R"({"aps":{"badge":99,"content-available":1}})";

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = testing::TempDir("end-to-end");
    dir_ = temp_.path();
    app_ = temp_ / "E2E.app";
    keychain_ = temp_ / "keychain.sqlite";
    ASSERT_EQ(badgeApp({"install", "--app", app_}).exitCode, 0);
  }

  std::vector<std::string> env() const {
    return {"QUENLARCH_KEYCHAIN=" + keychain_, "BADGE_SERVICE_EXECUTABLE=" BADGE_SERVICE_PATH};
  }
  testing::CommandResult badgeApp(std::vector<std::string> args) const {
    args.insert(args.begin(), BADGE_APP_PATH);
    return testing::runCommand(args, "", env());
  }
  std::optional<json> status() const {
    auto r = badgeApp({"status", "--app", app_});
    if (r.exitCode != 0) return std::nullopt;
    return json::parse(r.out);
  }
  // Delivers payloads (one per line on stdin) and returns the shown lines.
  std::vector<json> deliver(const std::vector<std::string>& payloads, double timeLimit = 10,
                            int* exitCode = nullptr) const {
    std::string input;
    for (const auto& p : payloads) input += p + "\n";
    auto r = testing::runCommand(
        {NOTIFICATION_HOST_PATH, "deliver", "--app", app_, "--extension-for", "all", "--time-limit",
         std::to_string(timeLimit), "--grace-ms", "1000", "-"},
        input, env());
    if (exitCode != nullptr) *exitCode = r.exitCode;
    return testing::jsonLines(r.out);
  }
  std::string extensionInfoPlist() const {
    return app_ + "/Contents/PlugIns/BadgeService.appex/Contents/Info.plist";
  }

  testing::TempDir temp_;
  std::string dir_;
  std::string app_;
  std::string keychain_;
};

// Reports every open, read, write or creation of the keychain file and its companions (-wal, -shm,
// -journal) in its folder, by any process, from construction on.
class KeychainFileWatch {
 public:
  explicit KeychainFileWatch(const std::string& keychainPath)
      : name_(fs::path(keychainPath).filename().string()),
        fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
    EXPECT_GE(fd_, 0);
    EXPECT_GE(::inotify_add_watch(fd_, fs::path(keychainPath).parent_path().c_str(),
                                  IN_OPEN | IN_ACCESS | IN_MODIFY | IN_CREATE),
              0);
  }
  ~KeychainFileWatch() { ::close(fd_); }

  // The names of the keychain's files touched so far.
  std::set<std::string> touched() {
    alignas(inotify_event) char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        const std::string name = event->len > 0 ? event->name : "";
        if (name.rfind(name_, 0) == 0) touched_.insert(name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    return touched_;
  }

 private:
  std::string name_;
  int fd_;
  std::set<std::string> touched_;
};

// One row per situation: how the stored record is set up, the push, and what must be shown.
struct Situation {
  const char* name;
  const char* setUp;  // a badge-app command run before the push, or "" / "unconfigured"
  const char* payload;
  const char* shownBy;
  json badge;             // shown badge (null: none)
  int storedAfter;        // stored count afterwards, -1 when no valid record of ours remains
  const char* badgeNote;  // the line's account of the badge work
};

TEST_F(EndToEndTest, EachSituationShowsTheRightBadge) {
  const Situation situations[] = {
      {"counted, increment and read-back succeed", "set-count 4", kCounted, "extension", 5, 5,
       "counted"},
      {"counted with a push badge", "set-count 4", kCountedWithBadge, "extension", 5, 5, "counted"},
      {"uncounted without badge", "set-count 4", kUncounted, "extension", nullptr, 4,
       "not a counted alert"},
      {"uncounted with badge, record ours", "set-count 7", kUncountedWithBadge, "extension", 7, 7,
       "not a counted alert"},
      {"uncounted with badge, counting off", "disable", kUncountedWithBadge, "extension", 99, -1,
       "counting off"},
      {"counted, counting off", "disable", kCounted, "extension", nullptr, -1, "counting off"},
      {"counted, record of another installation", "foreign", kCountedWithBadge, "extension", 99, -1,
       "item of another installation"},
      {"counted, invalid record", "garbage", kCountedWithBadge, "extension", 99, -1,
       "no valid badge record"},
      {"counted, no item", "uninstall", kCountedWithBadge, "extension", 99, -1, "no badge item"},
      {"no configuration", "unconfigured", kCountedWithBadge, "extension", 99, -1, "no badge item"},
  };
  for (const Situation& s : situations) {
    SCOPED_TRACE(s.name);
    SetUp();
    ASSERT_EQ(badgeApp({"set-count", "--app", app_, "4"}).exitCode, 0);
    std::string setUp = s.setUp;
    if (setUp == "foreign") {
      auto other = badgeApp({"encode", "--count", "4", "--bundle", dir_ + "/Other.app"});
      std::string hex = other.out.substr(0, 32);
      ASSERT_EQ(badgeApp({"record", "--app", app_, "--set", hex}).exitCode, 0);
    } else if (setUp == "garbage") {
      ASSERT_EQ(badgeApp({"record", "--app", app_, "--set", std::string(32, 'e')}).exitCode, 0);
    } else if (setUp == "unconfigured") {
      std::ifstream in(extensionInfoPlist());
      std::stringstream text;
      text << in.rdbuf();
      std::string plist = text.str();
      plist.replace(plist.find("TAVIBadgeKeychainGroup"), 22, "SomethingElseEntirely!");
      std::ofstream(extensionInfoPlist()) << plist;
    } else if (!setUp.empty()) {
      std::istringstream words(setUp);
      std::vector<std::string> args;
      for (std::string w; words >> w;) args.push_back(w);
      args.insert(args.begin() + 1, {"--app", app_});
      ASSERT_EQ(badgeApp(args).exitCode, 0);
    }
    KeychainFileWatch watch(keychain_);
    int exitCode = -1;
    auto shown = deliver({s.payload}, 10, &exitCode);
    const std::set<std::string> touched = watch.touched();
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0]["deliveredBy"], s.shownBy);
    EXPECT_EQ(shown[0]["badge"], s.badge);
    EXPECT_EQ(shown[0]["badgeNote"], s.badgeNote);
    EXPECT_EQ(shown[0]["userInfo"], json::parse(s.payload)) << "the payload passes through";

    auto after = status();
    if (s.storedAfter >= 0) {
      ASSERT_TRUE(after.has_value());
      EXPECT_EQ((*after)["count"], s.storedAfter);
    } else if (setUp != "uninstall" && setUp != "unconfigured") {
      EXPECT_FALSE(after.has_value() && (*after)["ownedByThisInstall"] == true);
    }
    if (setUp == "unconfigured") {
      EXPECT_TRUE(touched.empty()) << "no keychain traffic without configuration, yet touched "
                                   << ::testing::PrintToString(touched);
    } else if (s.payload == kCounted || s.payload == kCountedWithBadge) {
      EXPECT_FALSE(touched.empty()) << "a counted push looks at the keychain: the watch is blind";
    }
  }
}

// Holds the keychain's write lock from this process, as a stuck writer elsewhere would.
class KeychainWriteLock {
 public:
  // Waits for a writer that is still finishing (a checkpoint, say) rather than holding nothing.
  explicit KeychainWriteLock(const std::string& path) {
    held_ = sqlite3_open(path.c_str(), &db_) == SQLITE_OK &&
            sqlite3_busy_timeout(db_, 10000) == SQLITE_OK &&
            sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~KeychainWriteLock() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
  }
  bool held() const { return held_; }

 private:
  sqlite3* db_ = nullptr;
  bool held_ = false;
};

TEST_F(EndToEndTest, KeychainLockedPastTheTimeLimitShowsThePushAsReceivedOnce) {
  ASSERT_EQ(badgeApp({"set-count", "--app", app_, "4"}).exitCode, 0);
  auto start = std::chrono::steady_clock::now();
  std::vector<json> shown;
  {
    KeychainWriteLock lock(keychain_);
    ASSERT_TRUE(lock.held());
    shown = deliver({kCountedWithBadge, kCounted}, 1.0);
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0]["badge"], 99) << "shown as received, with its own badge";
  EXPECT_EQ(shown[1]["badge"], nullptr) << "shown as received, without a badge";
  EXPECT_EQ(shown[0]["userInfo"], json::parse(kCountedWithBadge));
  EXPECT_EQ(shown[1]["userInfo"], json::parse(kCounted));
  // Two pushes, each given at most the time limit plus the grace period, plus process starts.
  EXPECT_LT(elapsed, std::chrono::seconds(15));
  EXPECT_EQ((*status())["count"], 4) << "nothing was counted while the keychain was locked";
}

TEST_F(EndToEndTest, ExtensionKilledMidRequestIsShownByTheHostAndTheNextPushStillCounts) {
  ASSERT_EQ(badgeApp({"set-count", "--app", app_, "4"}).exitCode, 0);
  std::future<std::vector<json>> host;
  {
    KeychainWriteLock lock(keychain_);
    ASSERT_TRUE(lock.held());
    host = std::async(std::launch::async, [&] {
      return deliver({kCountedWithBadge, kCounted}, 20);
    });
    // Find the extension while it waits on the lock, and kill it.
    const std::string exe =
        app_ + "/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService";
    bool killed = false;
    for (int tries = 0; tries < 200 && !killed; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path() / "exe", ec).string() == exe) {
          killed = ::kill(std::stoi(entry.path().filename().string()), SIGKILL) == 0;
        }
      }
    }
    ASSERT_TRUE(killed);
  }
  auto shown = host.get();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0]["deliveredBy"], "host");
  EXPECT_EQ(shown[0]["badge"], 99) << "shown as received";
  EXPECT_EQ(shown[1]["deliveredBy"], "extension");
  EXPECT_EQ(shown[1]["badge"], 5) << "a fresh extension counts the next push";
}

TEST_F(EndToEndTest, ReplacedHandlerIsReleasedAndNoContentCrossesRequests) {
  ASSERT_EQ(badgeApp({"set-count", "--app", app_, "0"}).exitCode, 0);
  const std::string exe = app_ + "/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService";
  // Two requests back to back, so the second can replace the first's pending handler.
  std::string input;
  for (int round = 0; round < 20; ++round) {
    for (const char* id : {"a", "b"}) {
      json request = {{"type", "request"},
                      {"id", std::string(id) + std::to_string(round)},
                      {"content",
                       {{"userInfo", json::parse(kCounted)},
                        {"badge", nullptr},
                        {"fields", {{"title", std::string(id) + std::to_string(round)}}}}}};
      input += request.dump() + "\n";
    }
  }
  auto r = testing::runCommand({exe}, input, env());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::map<std::string, int> answers;
  int delivered = 0;
  for (const json& line : testing::jsonLines(r.out)) {
    if (line["type"] == "deliver") {
      ++delivered;
      EXPECT_EQ(line["content"]["fields"]["title"], line["id"])
          << "content went to another request";
    }
    if (line["type"] == "deliver" || line["type"] == "released") ++answers[line["id"]];
  }
  EXPECT_EQ(answers.size(), 40u) << "every request is answered";
  for (const auto& [id, n] : answers) EXPECT_EQ(n, 1) << id << " answered more than once";
  EXPECT_GE(delivered, 1) << "the newest request's handler is always called";
}

TEST_F(EndToEndTest, MalformedAndOversizedPayloadsAreRefusedAndTheRestShown) {
  std::string oversized =
      R"({"aps":{"alert":{"loc-key":"Neue Nachricht"}},"pad":")" + std::string(4096, 'x') + "\"}";
  int exitCode = -1;
  auto shown = deliver({"not json", "[1,2]", R"({"aps":5})", oversized, kCounted}, 10, &exitCode);
  EXPECT_EQ(exitCode, 1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0]["badge"], 1);
}

// A fleet device's extension is a link to one executable, yet finds its own bundle: a push counts
// for that device, in its keychain, and for no other.
TEST_F(EndToEndTest, APushToAFleetDeviceCountsForThatDeviceOnly) {
  ASSERT_EQ(badgeApp({"fleet", "create", "--dir", dir_ + "/fleet", "--devices", "2"}).exitCode, 0);
  std::vector<std::pair<std::string, std::string>> devices;  // app, keychain
  for (const char* device : {"/fleet/device-000001", "/fleet/device-000002"}) {
    devices.emplace_back(dir_ + device + "/Quenlarch.app", dir_ + device + "/keychain.sqlite");
  }
  auto r = testing::runCommand({NOTIFICATION_HOST_PATH, "deliver", "--app", devices[1].first,
                                "--keychain", devices[1].second, "--extension-for", "all", "-"},
                               std::string(kCounted) + "\n", env());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(json::parse(r.out)["badge"], 1) << r.out;
  for (std::size_t i : {0u, 1u}) {
    auto status = badgeApp({"status", "--app", devices[i].first, "--keychain", devices[i].second});
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(json::parse(status.out)["count"], i) << devices[i].first;
  }
}

TEST_F(EndToEndTest, EightHostsAtOnceCountEverySuccessfulIncrementExactlyOnce) {
  constexpr int kHosts = 8;
  constexpr int kPushesEach = 50;
  std::vector<std::future<std::vector<json>>> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.push_back(std::async(std::launch::async, [&, h] {
      std::vector<std::string> payloads;
      for (int i = 0; i < kPushesEach; ++i) {
        payloads.push_back(json{
            {"aps", {{"alert", {{"loc-key", "Neue Nachricht"}}}}},
            {"n",
             h * 1000 + i}}.dump());
      }
      return deliver(payloads, 30);
    }));
  }
  std::set<int> seen;
  int counted = 0;
  for (auto& host : hosts) {
    for (const json& line : host.get()) {
      EXPECT_TRUE(seen.insert(line["userInfo"]["n"].get<int>()).second) << "shown twice";
      if (!line["badge"].is_null()) ++counted;  // only a successful increment sets a badge here
    }
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kHosts * kPushesEach)) << "every push shown";
  // All increments failing would also store exactly what was shown: some must have gone through.
  EXPECT_GT(counted, 0);
  EXPECT_EQ((*status())["count"], counted);
}

}  // namespace
}  // namespace quenlarch
