// bench-pipeline: the in-process figures, through Google Benchmark.
//   BM_CountedPush           BadgePipeline::prepareContent for a counted push on the real store:
//                            read, compare-and-swap update, read-back (one durable commit)
//   BM_KeychainCommit        its floor: SqliteKeychain::update of the same item without compare,
//                            one durable commit through the same store code
//   BM_RawCommit             the floor under that: one durable single-row UPDATE on a raw SQLite
//                            connection with the same settings
//   BM_RecordRead            one read of the badge record through the store (a counted push makes
//                            two besides its commit), to show what the push adds to the floor
//   BM_UncountedPush/1, /0   an uncounted push without badge with the badge configured in the
//                            bundle (1) and without (0); counts keychain calls, which must be 0
// Every run gets a fresh database in a scratch folder (under $BADGE_BENCH_DIR). Run with
// repetitions and read the medians: fsync latency is noisy.
#include <benchmark/benchmark.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "badge/badge_record.h"
#include "bench/bench_counter.h"
#include "bench/durable_commit.h"
#include "bench/fixed_bundle.h"
#include "bench/scratch_folder.h"
#include "extension/badge_pipeline.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/plist_json.h"
#include "platform/linux/push_content.h"
#include "platform/linux/sqlite_keychain.h"
#include "platform/linux/system_random_source.h"
#include "platform/linux/system_sleeper.h"
#include "tests/support/fakes.h"

namespace quenlarch::bench {
namespace {

constexpr const char* kCountedPayload =
    R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ada"],"title":"Ada"},)"
    R"("sound":"default","mutable-content":1},"conversation":"c-17"})";
constexpr const char* kUncountedPayload = R"({"aps":{"alert":"Hallo","sound":"default"}})";

NotificationRequest requestFor(const char* payload) {
  auto content = std::make_shared<const PushContent>(plistFromJson(nlohmann::json::parse(payload)),
                                                     std::nullopt, PlistValue());
  return NotificationRequest{"bench", content};
}

PlistValue extensionInfo(bool configured) {
  PlistValue info;
  info.set("CFBundleIdentifier", PlistValue("com.quenlarch.app.BadgeService"));
  if (configured) info.set(kBadgeKeychainGroupInfoKey, PlistValue(kBenchAccessGroup));
  return info;
}

// The pipeline names each push's outcome; where the entry goes is the runtime's business, outside
// what these figures measure.
class DiscardingOutcomeLog final : public OutcomeLog {
 public:
  void badgeOutcome(BadgeOutcome, OSStatus) override {}
};

// What the extension process holds: its bundle, the store restricted to its entitled group (here
// behind the tests' fault-injecting wrapper, used only for its call counts), and the pipeline over
// them, with the counter item seeded at 0 in a fresh database.
struct ExtensionRig {
  explicit ExtensionRig(bool configured)
      : store(folder.file("keychain.sqlite"), std::vector<std::string>{kBenchAccessGroup}),
        keychain(store),
        bundle(kBenchExtensionPath, extensionInfo(configured)),
        env(bundle, sha256),
        pipeline(bundle, CounterPlatform{keychain, sleeper, random}, env, log) {
    seeded = counter.seed(folder.file("keychain.sqlite"), 0);
  }

  ScratchFolder folder;
  BenchCounter counter;
  bool seeded = false;
  SqliteKeychain store;
  testing::FaultInjectingKeychain keychain;
  FixedBundle bundle;
  OpenSslSha256 sha256;
  HomeScreenBadgeEnvironment env;
  SystemSleeper sleeper;
  SystemRandomSource random;
  DiscardingOutcomeLog log;
  BadgePipeline pipeline;
};

void BM_CountedPush(benchmark::State& state) {
  ExtensionRig rig(/*configured=*/true);
  const NotificationRequest request = requestFor(kCountedPayload);
  // The first push opens the connection; the process-start figures include that, this one not.
  ContentRef shown = rig.pipeline.prepareContent(request);
  const long callsBefore = rig.keychain.callCount();
  for (auto _ : state) {
    shown = rig.pipeline.prepareContent(request);
    benchmark::DoNotOptimize(shown);
  }
  const auto expected = static_cast<std::int64_t>(state.iterations()) + 1;
  if (!rig.seeded || shown->badge() != expected ||
      rig.counter.storedCount(rig.folder.file("keychain.sqlite")) != expected) {
    state.SkipWithError("a counted push did not count");
  }
  state.counters["keychainCalls"] =
      benchmark::Counter(static_cast<double>(rig.keychain.callCount() - callsBefore),
                         benchmark::Counter::kAvgIterations);
}

void BM_KeychainCommit(benchmark::State& state) {
  ExtensionRig rig(/*configured=*/true);
  const KeychainQuery item = baseItemQuery(rig.counter.item());
  const ByteString records[2] = {encodeBadgeRecord({true, 1, rig.counter.tag()}, rig.env),
                                 encodeBadgeRecord({true, 2, rig.counter.tag()}, rig.env)};
  OSStatus status = rig.store.update(item, {{kSecAttrGeneric, PlistValue(PlistData{records[0]})}});
  std::size_t next = 1;
  for (auto _ : state) {
    status |= rig.store.update(item, {{kSecAttrGeneric, PlistValue(PlistData{records[next]})}});
    next ^= 1;
  }
  if (!rig.seeded || status != errSecSuccess) state.SkipWithError("an update failed");
}

void BM_RawCommit(benchmark::State& state) {
  ScratchFolder folder;
  DurableCommit::create(folder.file("floor.sqlite"));
  DurableCommit floor(folder.file("floor.sqlite"));
  std::int64_t value = 0;
  floor.commit(++value);
  for (auto _ : state) floor.commit(++value);
}

void BM_RecordRead(benchmark::State& state) {
  ExtensionRig rig(/*configured=*/true);
  std::optional<ByteString> record = readBadgeRecordData(rig.counter.item(), rig.store);
  for (auto _ : state) {
    record = readBadgeRecordData(rig.counter.item(), rig.store);
    benchmark::DoNotOptimize(record);
  }
  if (!rig.seeded || !record) state.SkipWithError("the record could not be read");
}

void BM_UncountedPush(benchmark::State& state) {
  ExtensionRig rig(/*configured=*/state.range(0) != 0);
  const NotificationRequest request = requestFor(kUncountedPayload);
  ContentRef shown = rig.pipeline.prepareContent(request);
  for (auto _ : state) {
    shown = rig.pipeline.prepareContent(request);
    benchmark::DoNotOptimize(shown);
  }
  if (!rig.seeded || shown != request.content) state.SkipWithError("the push was changed");
  // Every call since the first push, warm-up included: none is allowed.
  state.counters["keychainCalls"] = static_cast<double>(rig.keychain.callCount());
}

BENCHMARK(BM_CountedPush)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_KeychainCommit)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RawCommit)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RecordRead)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_UncountedPush)->Arg(1)->Arg(0)->Unit(benchmark::kNanosecond)->UseRealTime();

}  // namespace
}  // namespace quenlarch::bench

BENCHMARK_MAIN();
