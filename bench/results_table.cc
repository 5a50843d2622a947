// Table rendering. The goals are checked here and nowhere else.
#include "bench/results_table.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace quenlarch::bench {
namespace {

constexpr double kCountedPushGoal = 1.2;      // counted push / one durable commit
constexpr double kUncountedTolerance = 0.10;  // "about 1": within 10 %
constexpr double kProcessPushGoal = 1.5;      // push through the host / trivial process + commit
constexpr double kWarmPushGoal = 1.3;         // warm push through serve / one durable commit
constexpr double kParallelRateGoal = 0.9;     // pushes/s, 8 clients / serial commits per second
constexpr long kIdleThreadsGoal = 2;          // the service's threads, idle with 50 connections
constexpr long kMemoryGoalKiB = 6 * 1024;
constexpr long kMemoryLimitKiB = 8 * 1024;
// Anonymous memory a long-lived extension may gain between push 100 and the last without that
// counting as growth: request threads come and go, and their stacks and malloc arenas move a few
// pages up and down; a leak of a hundred bytes per push shows well above this.
constexpr long kGrowthNoiseKiB = 64;

// `pattern` with one number, however long the words around it (a fixed buffer cut the floor's
// text of figure 6 short).
std::string format(const char* pattern, double value) {
  const int length = std::snprintf(nullptr, 0, pattern, value);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(text.data(), text.size(), pattern, value);
  text.pop_back();
  return text;
}

std::string ratioText(double measured, double floor) {
  return floor > 0 ? format("%.2f", measured / floor) : "—";
}

std::string mib(long kib) { return format("%.2f MiB", static_cast<double>(kib) / 1024); }

const char* yesNo(bool met) { return met ? "yes" : "**no**"; }

// One benchmark's median real time, in microseconds, and its keychain-call counter.
struct Median {
  double micros = 0;
  double keychainCalls = -1;
};

Median medianOf(const nlohmann::json& pipeline, const std::string& runName) {
  for (const nlohmann::json& entry : pipeline.at("benchmarks")) {
    // Benchmarks timed in real time carry that in their name.
    std::string name = entry.value("run_name", "");
    if (name.ends_with("/real_time")) name.erase(name.size() - std::string("/real_time").size());
    if (name != runName || entry.value("aggregate_name", "") != "median") {
      continue;
    }
    if (entry.value("error_occurred", false)) {
      throw std::runtime_error(runName + ": " + entry.value("error_message", "failed"));
    }
    const std::string unit = entry.at("time_unit").get<std::string>();
    const double scale = unit == "ns" ? 1e-3 : unit == "us" ? 1 : unit == "ms" ? 1e3 : 1e6;
    return {entry.at("real_time").get<double>() * scale, entry.value("keychainCalls", -1.0)};
  }
  throw std::runtime_error("no median for " + runName + " (run it with repetitions)");
}

class Table {
 public:
  void row(const std::string& figure, const std::string& measured, const std::string& floor,
           const std::string& ratio, const std::string& goal, const std::string& met) {
    rows_ << "| " << figure << " | " << measured << " | " << floor << " | " << ratio << " | "
          << goal << " | " << met << " |\n";
  }
  std::string str() const {
    return "| figure | measured | floor | ratio | goal | met |\n|---|---|---|---|---|---|\n" +
           rows_.str();
  }

 private:
  std::ostringstream rows_;
};

void pipelineRows(const nlohmann::json& pipeline, Table& table) {
  const Median counted = medianOf(pipeline, "BM_CountedPush");
  const Median keychainCommit = medianOf(pipeline, "BM_KeychainCommit");
  const Median rawCommit = medianOf(pipeline, "BM_RawCommit");
  const double countedRatio = counted.micros / keychainCommit.micros;
  table.row(
      "1 counted push, `prepareContent` on SQLite (median)", format("%.0f µs", counted.micros),
      format("%.0f µs: `SqliteKeychain::update` of the item, no compare", keychainCommit.micros),
      ratioText(counted.micros, keychainCommit.micros), "≤ 1.2",
      yesNo(countedRatio <= kCountedPushGoal));
  table.row("1 same, against a raw sqlite3 commit", format("%.0f µs", counted.micros),
            format("%.0f µs: raw sqlite3 UPDATE, WAL, synchronous=FULL", rawCommit.micros),
            ratioText(counted.micros, rawCommit.micros), "info", "—");
  const Median read = medianOf(pipeline, "BM_RecordRead");
  table.row("1 keychain calls per counted push", format("%.0f", counted.keychainCalls), "—", "—",
            "info (read, update, read-back)", "—");
  table.row("1 one record read through the store (`readBadgeRecordData`)",
            format("%.1f µs", read.micros), "—", "—", "info", "—");

  const Median configured = medianOf(pipeline, "BM_UncountedPush/1");
  const Median unconfigured = medianOf(pipeline, "BM_UncountedPush/0");
  const double uncountedRatio = configured.micros / unconfigured.micros;
  table.row("2 uncounted push without badge, badge configured (median)",
            format("%.0f ns", configured.micros * 1e3),
            format("%.0f ns: same push, no configuration", unconfigured.micros * 1e3),
            ratioText(configured.micros, unconfigured.micros), "≈ 1 (within 10 %)",
            yesNo(std::abs(uncountedRatio - 1) <= kUncountedTolerance));
  table.row(
      "2 keychain calls, uncounted push, configured / not",
      format("%.0f", configured.keychainCalls) + " / " + format("%.0f", unconfigured.keychainCalls),
      "—", "—", "0", yesNo(configured.keychainCalls == 0 && unconfigured.keychainCalls == 0));
}

void startupRows(const nlohmann::json& startup, Table& table) {
  const double host = startup.at("hostPushMs");
  const double alone = startup.at("extensionPushMs");
  const double floor = startup.at("trivialCommitMs");
  const std::string floorText = format("%.2f ms: bench-trivial, one durable commit", floor);
  const std::string runs = std::to_string(startup.at("runs").get<int>());
  table.row("3 one push through `notification-host deliver` (median of " + runs + ")",
            format("%.2f ms", host), floorText, ratioText(host, floor), "≤ 1.5",
            yesNo(host / floor <= kProcessPushGoal));
  table.row("3 one push through `BadgeService` alone (spawn, request, deliver, exit)",
            format("%.2f ms", alone), floorText, ratioText(alone, floor), "info", "—");
  const double fullWal = startup.at("extensionPushFullWalMs");
  const double fullWalFloor = startup.at("trivialCommitFullWalMs");
  table.row("3 `BadgeService` alone, " + std::to_string(startup.at("fullWalFrames").get<long>()) +
                " frames waiting in the WAL (it is never checkpointed on exit)",
            format("%.2f ms", fullWal),
            format("%.2f ms: bench-trivial, one durable commit, same rounds", fullWalFloor),
            ratioText(fullWal, fullWalFloor), "info", "—");
  const double trivialExit = startup.at("trivialExitMs");
  table.row("3 bench-trivial, start and exit", format("%.2f ms", trivialExit), "—", "—", "info",
            "—");
  table.row("3 lower bound for a push through the host: two processes (trivial exit + commit)",
            format("%.2f ms", trivialExit + floor), floorText,
            ratioText(trivialExit + floor, floor), "info", "—");
  const long counted = startup.at("pushesCounted");
  const long expected = startup.at("pushesExpected");
  table.row("3 pushes counted / sent during the runs",
            std::to_string(counted) + " / " + std::to_string(expected), "—", "—", "all",
            yesNo(counted == expected));
  const double ssl = startup.at("opensslFirstUseUs");
  const double sslNoConfig = startup.at("opensslFirstUseNoConfigUs");
  table.row("3 first SHA-256 in a fresh process (OpenSSL loads its config)", format("%.0f µs", ssl),
            format("%.0f µs: with OPENSSL_INIT_NO_LOAD_CONFIG", sslNoConfig),
            ratioText(ssl, sslNoConfig), "info", "—");
}

void contentionRows(const nlohmann::json& contention, const nlohmann::json& pipeline,
                    Table& table) {
  const double commitsPerSecond = 1e6 / medianOf(pipeline, "BM_RawCommit").micros;
  for (const nlohmann::json& row : contention) {
    const double rate = row.at("incrementsPerSecond");
    const long lost = row.at("storedMinusSucceeded");
    const long unavailable = row.at("unavailable");
    const long refused = row.at("refused");
    std::string measured =
        format("%.0f inc/s, ", rate) + std::to_string(row.at("gaveUp").get<long>()) + " gave up, ";
    if (unavailable != 0) {
      measured += "**" + std::to_string(unavailable) + " store unavailable**, ";
    }
    if (refused != 0) measured += "**" + std::to_string(refused) + " refused**, ";
    measured += "stored − reported = " + std::to_string(lost);
    const int writers = row.at("writers").get<int>();
    table.row("4 " + std::to_string(writers) +
                  (writers == 1 ? " writer process × " : " writer processes × ") +
                  std::to_string(row.at("incrementsPerWriter").get<int>()) + " increments",
              measured, format("%.0f commits/s: raw sqlite3, one process", commitsPerSecond),
              ratioText(rate, commitsPerSecond), "stored − reported = 0", yesNo(lost == 0));
  }
}

void memoryRows(const nlohmann::json& memory, Table& table) {
  const nlohmann::json& extension = memory.at("extension");
  const long floorKiB = memory.at("trivialCommit").at("hwm");
  const auto floor = static_cast<double>(floorKiB);
  const std::string floorText = mib(floorKiB) + ": bench-trivial after one commit";
  const long at100 = extension.at("hwmAfter100");
  const long atEnd = extension.at("hwmAfterAll");
  const std::string pushes = std::to_string(extension.at("pushes").get<int>());
  auto memoryMet = [](long kib) {
    if (kib < kMemoryGoalKiB) return "yes";
    return kib < kMemoryLimitKiB ? "under the 8 MiB limit, not the goal" : "**no**";
  };
  table.row("5 BadgeService VmHWM, ready, before any push", mib(extension.at("hwmReady")),
            floorText, ratioText(extension.at("hwmReady").get<double>(), floor), "info", "—");
  table.row("5 BadgeService VmHWM after push 100", mib(at100), floorText,
            ratioText(static_cast<double>(at100), floor), "< 6 MiB (limit 8)", memoryMet(at100));
  table.row("5 BadgeService VmHWM after push " + pushes, mib(atEnd), floorText,
            ratioText(static_cast<double>(atEnd), floor), "< 6 MiB (limit 8)", memoryMet(atEnd));
  const long anonGrowth =
      extension.at("anonAfterAll").get<long>() - extension.at("anonAfter100").get<long>();
  table.row("5 growth, push 100 → " + pushes,
            "VmHWM " + std::to_string(atEnd - at100) + " KiB, RssAnon " +
                std::to_string(anonGrowth) + " KiB",
            "—", "—", "RssAnon ≤ 64 KiB (page noise)", yesNo(anonGrowth <= kGrowthNoiseKiB));
}

void serviceRows(const nlohmann::json& service, Table& table) {
  const double warm = service.at("warmPushMs");
  const double commit = service.at("commitMs");
  table.row("6 one warm push through `notification-host serve`, persistent connection (median of " +
                std::to_string(service.at("runs").get<int>()) + ")",
            format("%.2f ms", warm),
            format("%.2f ms: one durable commit, both beside a thread waking each ms", commit),
            ratioText(warm, commit), "≤ 1.3", yesNo(warm / commit <= kWarmPushGoal));
  if (service.contains("quietCommitMs")) {
    const double quiet = service.at("quietCommitMs");
    table.row("6 the same floor commit in a quiet process (no thread waking each millisecond)",
              format("%.2f ms", quiet), "—", "—", "info", "—");
  }
  const double rate = service.at("parallelPushesPerSecond");
  const double serial = service.at("serialCommitsPerSecond");
  table.row("6 8 clients, `--parallel 8`", format("%.0f pushes/s", rate),
            format("%.0f commits/s: one after another", serial), ratioText(rate, serial), "≥ 0.9",
            yesNo(rate / serial >= kParallelRateGoal));
  if (service.contains("serviceCpuMicrosPerPush")) {
    table.row("6 CPU per push with 8 clients: the service / the extension",
              format("%.0f µs", service.at("serviceCpuMicrosPerPush").get<double>()) + " / " +
                  format("%.0f µs", service.at("extensionCpuMicrosPerPush").get<double>()),
              "—", "—", "info", "—");
  }
  const long sent = service.at("sent");
  const long stored = service.at("stored");
  table.row("6 stored count / pushes sent through the service; shown by the extension",
            std::to_string(stored) + " / " + std::to_string(sent) + "; " +
                std::to_string(service.at("shownByExtension").get<long>()) + " of " +
                std::to_string(service.at("pushes").get<long>()),
            "—", "—", "equal", yesNo(stored == sent));
  const long at100 = service.at("hwmAfter100");
  const long atEnd = service.at("hwmAfterAll");
  const std::string pushes = std::to_string(service.at("pushes").get<long>());
  table.row("6 warm extension VmHWM after " + pushes + " pushes, `--parallel 8` (" +
                std::to_string(service.at("extensionStarts").get<long>()) + " process started)",
            mib(atEnd), "—", "—", "≤ 6 MiB", yesNo(atEnd <= kMemoryGoalKiB));
  const long anonGrowth =
      service.at("anonAfterAll").get<long>() - service.at("anonAfter100").get<long>();
  table.row("6 growth, push 100 → " + pushes,
            "VmHWM " + std::to_string(atEnd - at100) + " KiB, RssAnon " +
                std::to_string(anonGrowth) + " KiB",
            "—", "—", "RssAnon ≤ 64 KiB (page noise)",
            yesNo(anonGrowth <= kGrowthNoiseKiB && service.at("samePid").get<bool>()));
  if (service.contains("idleThreads")) {
    const long threads = service.at("idleThreads");
    const long ticks = service.at("idleCpuTicks");
    const std::string connections = std::to_string(service.at("idleConnections").get<int>());
    table.row("6 service threads while idle with " + connections + " connections",
              std::to_string(threads), "—", "—", "≤ " + std::to_string(kIdleThreadsGoal),
              yesNo(threads >= 1 && threads <= kIdleThreadsGoal));
    table.row("6 service CPU ticks while idle over " +
                  std::to_string(service.at("idleSeconds").get<int>()) + " s, " + connections +
                  " connections open",
              std::to_string(ticks), "—", "—", "0", yesNo(ticks == 0));
  }
}

}  // namespace

std::string resultsTable(const Results& results) {
  Table table;
  pipelineRows(results.pipeline, table);
  startupRows(results.startup, table);
  contentionRows(results.contention, results.pipeline, table);
  memoryRows(results.memory, table);
  if (!results.service.is_null()) serviceRows(results.service, table);
  return table.str();
}

std::string memoryByMappingTable(const nlohmann::json& memory) {
  const std::map<std::string, long> extension = memory.at("extension").at("mappings");
  const std::map<std::string, long> trivial = memory.at("trivialCommit").at("mappings");
  // Each process's own executable shares a row.
  auto rowName = [](const std::string& name) {
    return name == "BadgeService" || name == "bench-trivial" ? std::string("the executable itself")
                                                             : name;
  };
  std::map<std::string, std::pair<long, long>> both;
  for (const auto& [name, kib] : extension) both[rowName(name)].first += kib;
  for (const auto& [name, kib] : trivial) both[rowName(name)].second += kib;

  std::vector<std::pair<std::string, std::pair<long, long>>> rows(both.begin(), both.end());
  std::sort(rows.begin(), rows.end(),
            [](const auto& a, const auto& b) { return a.second.first > b.second.first; });
  std::ostringstream out;
  out << "| mapping | BadgeService after the last push | bench-trivial after one commit | "
         "difference |\n|---|---|---|---|\n";
  long totalExtension = 0, totalTrivial = 0;
  for (const auto& [name, kib] : rows) {
    totalExtension += kib.first;
    totalTrivial += kib.second;
    if (kib.first == 0 && kib.second == 0) continue;
    out << "| " << name << " | " << kib.first << " KiB | " << kib.second << " KiB | "
        << kib.first - kib.second << " KiB |\n";
  }
  out << "| **total resident now** | " << totalExtension << " KiB | " << totalTrivial << " KiB | "
      << totalExtension - totalTrivial << " KiB |\n";
  return out.str();
}

}  // namespace quenlarch::bench
