// The SQLite keychain under contention: threads and processes incrementing one counter through
// read-then-compare-and-swap must lose no increment, and many openers of a fresh file must all
// find a usable database.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <latch>
#include <random>
#include <thread>

#include "platform/linux/sqlite_keychain.h"

namespace quenlarch {
namespace {

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

constexpr int kMaxAttempts = 1000;

PlistValue bytes(ByteString value) { return PlistValue(PlistData{std::move(value)}); }

ByteString encodeCount(std::uint64_t count) {
  ByteString encoded(8);
  for (std::size_t i = 0; i < 8; ++i) encoded[i] = static_cast<std::uint8_t>(count >> (8 * i));
  return encoded;
}

std::uint64_t decodeCount(const ByteString& encoded) {
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < encoded.size() && i < 8; ++i) {
    count |= std::uint64_t{encoded[i]} << (8 * i);
  }
  return count;
}

KeychainQuery counterQuery(const std::string& account = "counter") {
  return {{kSecClass, PlistValue(kSecClassGenericPassword)},
          {kSecAttrService, PlistValue("svc")},
          {kSecAttrAccount, PlistValue(account)},
          {kSecAttrAccessGroup, PlistValue("group.a")}};
}

std::optional<ByteString> readCounter(Keychain& keychain) {
  KeychainQuery query = counterQuery();
  query[kSecReturnAttributes] = PlistValue(true);
  KeychainMatch match = keychain.copyMatching(query);
  if (match.status != errSecSuccess || !match.result) return std::nullopt;
  const PlistValue* generic = match.result->find(kSecAttrGeneric);
  if (generic == nullptr || !generic->isData()) return std::nullopt;
  return generic->asData()->bytes;
}

// Reads the counter and writes it back plus one on condition that nobody wrote in between; when
// somebody did, tries again after a short random pause. False when it gave up or the store failed.
bool incrementOnce(Keychain& keychain, std::minstd_rand& random) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    std::optional<ByteString> seen = readCounter(keychain);
    if (!seen) return false;
    KeychainQuery unchanged = counterQuery();
    unchanged[kSecAttrGeneric] = bytes(*seen);
    OSStatus status =
        keychain.update(unchanged, {{kSecAttrGeneric, bytes(encodeCount(decodeCount(*seen) + 1))}});
    if (status == errSecSuccess) return true;
    if (status != errSecItemNotFound) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(50 + random() % 400));
  }
  return false;
}

enum class Sharing {
  kObjectPerWorker,     // a long-lived extension process or thread
  kObjectPerIncrement,  // a fresh extension process per notification: open, count, close
  kSharedObject,        // threads of one process sharing one object (threads only)
};

// Runs `increments` increments as a worker would; returns how many succeeded.
int runWorker(Sharing sharing, const std::string& path, SqliteKeychain* shared, int increments,
              unsigned seed) {
  std::minstd_rand random(seed);
  const std::vector<std::string> groups = {"group.a"};
  std::optional<SqliteKeychain> own;
  if (sharing == Sharing::kObjectPerWorker) own.emplace(path, groups);
  int succeeded = 0;
  for (int i = 0; i < increments; ++i) {
    if (sharing == Sharing::kObjectPerIncrement) {
      SqliteKeychain fresh(path, groups);
      succeeded += incrementOnce(fresh, random) ? 1 : 0;
    } else {
      succeeded += incrementOnce(shared != nullptr ? *shared : *own, random) ? 1 : 0;
    }
  }
  return succeeded;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = std::filesystem::temp_directory_path() / "keychain-race-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() { std::filesystem::remove_all(path_); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Forks one child per entry of `bodies`, lets them all start at once, and returns their exit
// codes (-1 for a child that did not exit normally). Children leave through _exit so that
// nothing of the test framework runs twice.
std::vector<int> runChildren(const std::vector<std::function<int()>>& bodies) {
  int gate[2];
  if (::pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (const auto& body : bodies) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char byte;
      while (::read(gate[0], &byte, 1) < 0 && errno == EINTR) {
      }
      ::_exit(body());
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // end of file on the gate: every child starts now
  std::vector<int> codes;
  for (pid_t child : children) {
    int status = 0;
    const bool waited = child > 0 && ::waitpid(child, &status, 0) == child;
    codes.push_back(waited && WIFEXITED(status) ? WEXITSTATUS(status) : -1);
  }
  return codes;
}

struct RaceCase {
  const char* name;
  Sharing sharing;
  int workers;
  int incrementsEach;
};

void PrintTo(const RaceCase& c, std::ostream* out) { *out << c.name; }

class CounterRace : public ::testing::TestWithParam<RaceCase> {
 protected:
  void SetUp() override {
    SqliteKeychain app(path_, std::nullopt);
    KeychainQuery counter = counterQuery();
    counter[kSecAttrGeneric] = bytes(encodeCount(0));
    ASSERT_EQ(app.add(counter), errSecSuccess);
  }

  std::uint64_t finalCount() {
    SqliteKeychain reader(path_, std::nullopt);
    return decodeCount(readCounter(reader).value_or(ByteString{}));
  }

  TempFolder folder_;
  std::string path_ = folder_.file("keychain.sqlite");
};

class ThreadRaceTest : public CounterRace {};
class ProcessRaceTest : public CounterRace {};

TEST_P(ThreadRaceTest, LosesNoIncrement) {
  const RaceCase& c = GetParam();
  SqliteKeychain shared(path_, std::vector<std::string>{"group.a"});
  std::vector<int> succeeded(static_cast<std::size_t>(c.workers));
  std::latch start(c.workers);
  std::vector<std::thread> threads;
  for (int w = 0; w < c.workers; ++w) {
    threads.emplace_back([&, w] {
      start.arrive_and_wait();
      succeeded[static_cast<std::size_t>(w)] =
          runWorker(c.sharing, path_, &shared, c.incrementsEach, static_cast<unsigned>(w + 1));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : succeeded) EXPECT_EQ(count, c.incrementsEach);
  EXPECT_EQ(finalCount(), static_cast<std::uint64_t>(c.workers * c.incrementsEach));
}

TEST_P(ProcessRaceTest, LosesNoIncrement) {
  const RaceCase& c = GetParam();
  // The sanitizer's own threads make fork unsafe; threads cover this binary under it.
  if (kThreadSanitizer) GTEST_SKIP() << "fork under ThreadSanitizer";
  std::vector<std::function<int()>> bodies;
  for (int w = 0; w < c.workers; ++w) {
    bodies.push_back([&, w] {
      return runWorker(c.sharing, path_, nullptr, c.incrementsEach, static_cast<unsigned>(w + 1));
    });
  }
  for (int code : runChildren(bodies)) EXPECT_EQ(code, c.incrementsEach);
  EXPECT_EQ(finalCount(), static_cast<std::uint64_t>(c.workers * c.incrementsEach));
}

auto raceCaseName = [](const auto& testCase) { return std::string(testCase.param.name); };

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadRaceTest,
    ::testing::Values(RaceCase{"ObjectPerThread", Sharing::kObjectPerWorker, 4, 100},
                      RaceCase{"ObjectPerIncrement", Sharing::kObjectPerIncrement, 4, 50},
                      RaceCase{"SharedObject", Sharing::kSharedObject, 4, 50}),
    raceCaseName);

INSTANTIATE_TEST_SUITE_P(
    Cases, ProcessRaceTest,
    ::testing::Values(RaceCase{"ObjectPerProcess", Sharing::kObjectPerWorker, 6, 100},
                      RaceCase{"ObjectPerIncrement", Sharing::kObjectPerIncrement, 6, 50}),
    raceCaseName);

// Whoever opens a fresh file first creates the schema; everyone else must wait for it, not fail.
// The openers collide in a different order each time, so each test runs several rounds.
class FreshFileTest : public ::testing::Test {
 protected:
  static constexpr int kRounds = 10;
  static constexpr int kOpeners = 8;

  std::string roundPath(int round) const {
    return folder_.file("round-" + std::to_string(round) + "/keychain.sqlite");
  }

  // Adds an item of its own to the fresh file; 0 on success, else 1.
  static int addOwnItem(const std::string& path, int opener) {
    SqliteKeychain keychain(path, std::vector<std::string>{"group.a"});
    KeychainQuery item = counterQuery("opener-" + std::to_string(opener));
    item[kSecAttrGeneric] = bytes(encodeCount(static_cast<std::uint64_t>(opener)));
    return keychain.add(item) == errSecSuccess ? 0 : 1;
  }

  static void expectEveryItem(const std::string& path) {
    SqliteKeychain reader(path, std::nullopt);
    for (int opener = 0; opener < kOpeners; ++opener) {
      EXPECT_EQ(reader.copyMatching(counterQuery("opener-" + std::to_string(opener))).status,
                errSecSuccess)
          << path << " " << opener;
    }
    EXPECT_EQ(reader.integrityCheck(), errSecSuccess) << path;
  }

  TempFolder folder_;
};

TEST_F(FreshFileTest, ThreadsOpeningAtOnceAllSucceed) {
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = roundPath(round);
    std::vector<int> codes(kOpeners, -1);
    std::latch start(kOpeners);
    std::vector<std::thread> threads;
    for (int opener = 0; opener < kOpeners; ++opener) {
      threads.emplace_back([&, opener] {
        start.arrive_and_wait();
        codes[static_cast<std::size_t>(opener)] = addOwnItem(path, opener);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int code : codes) EXPECT_EQ(code, 0) << path;
    expectEveryItem(path);
  }
}

TEST_F(FreshFileTest, ProcessesOpeningAtOnceAllSucceed) {
  if (kThreadSanitizer) GTEST_SKIP() << "fork under ThreadSanitizer";
  for (int round = 0; round < kRounds; ++round) {
    const std::string path = roundPath(round);
    std::vector<std::function<int()>> bodies;
    for (int opener = 0; opener < kOpeners; ++opener) {
      bodies.push_back([&path, opener] { return addOwnItem(path, opener); });
    }
    for (int code : runChildren(bodies)) EXPECT_EQ(code, 0) << path;
    expectEveryItem(path);
  }
}

}  // namespace
}  // namespace quenlarch
