// Many real writer processes incrementing one counter on the real keychain store at once: the
// stored count is exactly the increments that reported success, none is refused for a record that
// is ours, and a counter switched off midway stays off.
//
// How many writers give up (every race lost) or meet the store busy past its time-out depends on
// the machine's load and speed (a sanitizer build widens every window), so those are reported, not
// asserted: the design promises no increment lost or invented, not that every one lands.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "badge/badge_record.h"
#include "badge/keychain_item.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/subprocess.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

constexpr const char* kGroup = "ABCDE12345.com.quenlarch.app.badge";
constexpr const char* kApp = "/Applications/Counter.app";
constexpr int kWriters = 8;
constexpr int kIncrementsEach = 200;

struct WriterReport {
  int succeeded = 0;
  int gaveUp = 0;
  int busy = 0;
  int refused = 0;
};

// A writer process; with `ack`, it prints "+" as each increment lands.
struct Writer {
  std::unique_ptr<Subprocess> process;
  std::string output;
};

class CounterProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_ / "keychain.sqlite";
    tag_ = makeInstallTag(kApp, sha256_);
    SqliteKeychain app(path_, std::nullopt);
    HomeScreenBadgeEnvironment env(tag_);
    ASSERT_EQ(
        app.add(testing::badgeItemAttributes(kGroup, encodeBadgeRecord({true, 0, tag_}, env))),
        errSecSuccess);
  }

  std::vector<Writer> startWriters(bool ack) {
    std::vector<Writer> writers;
    for (int i = 0; i < kWriters; ++i) {
      SubprocessOptions options;
      options.argv = {INCREMENT_WRITER_PATH, path_, kApp, kGroup, std::to_string(kIncrementsEach)};
      if (ack) options.environment = {"WRITER_ACK=1"};
      options.input = SubprocessOptions::Stream::kNull;
      std::string error;
      writers.push_back({Subprocess::start(options, &error), {}});
      EXPECT_NE(writers.back().process, nullptr) << error;
    }
    return writers;
  }

  // Waits for every writer to end and sums their reports (each one's last line); tells how many
  // gave up or met the store busy.
  WriterReport collect(std::vector<Writer>& writers) {
    WriterReport total;
    for (Writer& w : writers) {
      if (!w.process) continue;
      w.output += w.process->communicate("").output;
      EXPECT_EQ(w.process->exitCode(), 0) << w.process->exitDescription();
      const std::size_t last = w.output.rfind('{');
      const nlohmann::json report = nlohmann::json::parse(
          last == std::string::npos ? "" : w.output.substr(last), nullptr, false);
      if (!report.is_object()) {
        ADD_FAILURE() << "no report: " << w.output;
        total.refused = -1;
        continue;
      }
      total.succeeded += report["succeeded"].get<int>();
      total.gaveUp += report["gaveUp"].get<int>();
      total.busy += report["busy"].get<int>();
      total.refused += report["refused"].get<int>();
    }
    RecordProperty("gave_up", total.gaveUp);
    RecordProperty("busy_time_outs", total.busy);
    std::cout << total.succeeded << " increments succeeded, " << total.gaveUp << " gave up, "
              << total.busy << " met the store busy past its time-out\n";
    return total;
  }

  HomeScreenBadgeKeychainItem item() const {
    return {std::string(kBadgeKeychainService), std::string(kBadgeKeychainAccount),
            std::string(kGroup)};
  }
  std::optional<ByteString> storedRecord(Keychain& keychain) {
    return readBadgeRecordData(item(), keychain);
  }

  OpenSslSha256 sha256_;
  HomeScreenBadgeInstallTag tag_;
  testing::TempDir dir_{"counter-processes"};
  std::string path_;
};

TEST_F(CounterProcessesTest, FinalCountEqualsReportedSuccesses) {
  std::vector<Writer> writers = startWriters(/*ack=*/false);
  const WriterReport total = collect(writers);
  EXPECT_EQ(total.refused, 0) << "the record is ours and on throughout";
  EXPECT_EQ(total.succeeded + total.gaveUp + total.busy, kWriters * kIncrementsEach);
  SqliteKeychain reader(path_, std::nullopt);
  HomeScreenBadgeEnvironment env(tag_);
  auto state = decodeBadgeRecord(storedRecord(reader).value(), tag_, env);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->count, static_cast<std::uint32_t>(total.succeeded));
}

TEST_F(CounterProcessesTest, DisablingMidwayStopsEveryWriter) {
  std::vector<Writer> writers = startWriters(/*ack=*/true);
  ASSERT_NE(writers.front().process, nullptr);
  // Once the first writer has landed a few increments, the others are under way too.
  Writer& first = writers.front();
  constexpr long kLanded = kIncrementsEach / 8;
  while (std::count(first.output.begin(), first.output.end(), '+') < kLanded) {
    if (first.process->readOutput(first.output, Subprocess::kNoDeadline) ==
        Subprocess::ReadStatus::kEnd) {
      break;
    }
  }
  ASSERT_GE(std::count(first.output.begin(), first.output.end(), '+'), kLanded) << first.output;

  // Switch counting off with a compare-and-swap, so the count it replaced is known exactly.
  SqliteKeychain app(path_, std::nullopt);
  HomeScreenBadgeEnvironment env(tag_);
  const ByteString disabled = encodeBadgeRecord({false, 0, zeroInstallTag()}, env);
  std::optional<std::uint32_t> countAtDisable;
  while (!countAtDisable) {
    ByteString current = storedRecord(app).value();
    auto state = decodeBadgeRecord(current, tag_, env);
    ASSERT_TRUE(state.has_value());
    KeychainQuery compare = baseItemQuery(item());
    compare[kSecAttrGeneric] = PlistValue(PlistData{current});
    if (app.update(compare, {{kSecAttrGeneric, PlistValue(PlistData{disabled})}}) ==
        errSecSuccess) {
      countAtDisable = state->count;
    }
  }

  const WriterReport total = collect(writers);
  EXPECT_EQ(static_cast<std::uint32_t>(total.succeeded), *countAtDisable)
      << "every reported increment landed before the disable, and none after it";
  EXPECT_EQ(storedRecord(app), disabled) << "the record stays disabled";
}

}  // namespace
}  // namespace quenlarch
