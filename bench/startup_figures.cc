// Timing whole processes, round by round.
#include "bench/startup_figures.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "bench/child_process.h"
#include "bench/durable_commit.h"
#include "bench/extension_session.h"
#include "bench/scratch_folder.h"
#include "bench/stats.h"

namespace quenlarch::bench {
namespace {

using Clock = std::chrono::steady_clock;

// The extension never closes its connection, so nothing checkpoints when it exits: frames pile up
// in the WAL until the automatic checkpoint (every 64 pages, as the keychain store sets it), and
// every fresh process reads all of them back before its first statement. The push is timed again
// with the WAL as full as it gets (the target is capped by that checkpoint).
constexpr long kFullWalFrames = 900;
constexpr int kFullWalRuns = 10;

// Frames in the WAL file, from its size: a 32-byte header, then 24 + 4096 bytes a frame. (After
// SQLite restarts a WAL from its beginning the file stays long; this flow never gets that far.)
long walFrames(const std::string& keychain) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(keychain + "-wal", error);
  return error || size < 32 ? 0 : static_cast<long>((size - 32) / (24 + 4096));
}

std::string extensionExecutable(const std::string& app) {
  return app + "/Contents/PlugIns/BadgeService.appex/Contents/MacOS/BadgeService";
}

// Pushes once through the extension alone, untimed: the badge it delivers is the stored count.
std::optional<std::int64_t> probeCount(const StartupSetup& setup, const std::string& payload) {
  ExtensionSession session(extensionExecutable(setup.app), setup.keychain);
  std::optional<std::int64_t> badge = session.push(contentFromPayload(payload));
  session.finish();
  return badge;
}

double extensionAloneMillis(const StartupSetup& setup,
                            const std::shared_ptr<const PushContent>& content) {
  const Clock::time_point start = Clock::now();
  ExtensionSession session(extensionExecutable(setup.app), setup.keychain);
  if (!session.push(content)) throw std::runtime_error("BadgeService delivered no badge");
  if (session.finish() != 0) throw std::runtime_error("BadgeService failed");
  return millisSince(start);
}

double firstSha256Micros(const std::string& trivial, bool skipConfig) {
  std::vector<std::string> argv{trivial, "--first-sha256"};
  if (skipConfig) argv.push_back("--no-openssl-config");
  std::unique_ptr<ChildProcess> child = ChildProcess::spawn({argv, {}, true});
  const std::string out = child->readAll();
  if (child->wait() != 0) throw std::runtime_error("bench-trivial --first-sha256 failed");
  return std::stod(out);
}

}  // namespace

nlohmann::json measureStartup(const StartupSetup& setup) {
  const std::string payload = readWholeFile(setup.payload);
  const std::shared_ptr<const PushContent> content = contentFromPayload(payload);
  ScratchFolder folder;
  const std::string floorDb = folder.file("floor.sqlite");
  DurableCommit::create(floorDb);
  const std::map<std::string, std::string> env{{"QUENLARCH_KEYCHAIN", setup.keychain}};
  const SpawnOptions host{{setup.host, "deliver", "--app", setup.app, setup.payload}, env, false};
  const SpawnOptions trivialCommit{{setup.trivial, "--commit", floorDb}, {}, false};
  const SpawnOptions trivialExit{{setup.trivial}, {}, false};

  // One untimed round brings every file into the page cache and the databases into WAL shape.
  const std::optional<std::int64_t> before = probeCount(setup, payload);
  timeCommand(host);
  timeCommand(trivialCommit);
  timeCommand(trivialExit);

  std::vector<double> hostMs, aloneMs, commitMs, exitMs, sslMs, sslNoConfigMs;
  for (int round = 0; round < setup.runs; ++round) {
    hostMs.push_back(timeCommand(host) * 1e3);
    aloneMs.push_back(extensionAloneMillis(setup, content));
    commitMs.push_back(timeCommand(trivialCommit) * 1e3);
    exitMs.push_back(timeCommand(trivialExit) * 1e3);
    sslMs.push_back(firstSha256Micros(setup.trivial, false));
    sslNoConfigMs.push_back(firstSha256Micros(setup.trivial, true));
  }
  const std::optional<std::int64_t> after = probeCount(setup, payload);

  if (long frames = walFrames(setup.keychain); frames < kFullWalFrames) {
    ExtensionSession filler(extensionExecutable(setup.app), setup.keychain);
    for (; frames < kFullWalFrames; ++frames) filler.push(content);
    filler.finish();
  }
  const long fullWalFrames = walFrames(setup.keychain);
  std::vector<double> fullWalMs, fullWalCommitMs;
  for (int round = 0; round < kFullWalRuns; ++round) {
    fullWalMs.push_back(extensionAloneMillis(setup, content));
    fullWalCommitMs.push_back(timeCommand(trivialCommit) * 1e3);
  }

  // Each round counts twice (host and alone), plus the warm-up push and the final probe.
  const std::int64_t counted = before && after ? *after - *before - 1 : -1;
  return {{"runs", setup.runs},
          {"hostPushMs", median(hostMs)},
          {"extensionPushMs", median(aloneMs)},
          {"trivialCommitMs", median(commitMs)},
          {"trivialExitMs", median(exitMs)},
          {"opensslFirstUseUs", median(sslMs)},
          {"opensslFirstUseNoConfigUs", median(sslNoConfigMs)},
          {"fullWalFrames", fullWalFrames},
          {"extensionPushFullWalMs", median(fullWalMs)},
          {"trivialCommitFullWalMs", median(fullWalCommitMs)},
          {"pushesCounted", counted},
          {"pushesExpected", 2 * setup.runs + 1}};
}

}  // namespace quenlarch::bench
