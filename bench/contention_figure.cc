// Running the writers and checking the count they leave.
#include "bench/contention_figure.h"

#include <chrono>
#include <memory>
#include <stdexcept>

#include "bench/bench_counter.h"
#include "bench/child_process.h"
#include "bench/scratch_folder.h"

namespace quenlarch::bench {
namespace {

nlohmann::json runWriters(const ContentionSetup& setup, int writers) {
  ScratchFolder folder;
  const std::string keychain = folder.file("keychain.sqlite");
  const BenchCounter counter;
  if (!counter.seed(keychain, 0)) throw std::runtime_error("cannot seed " + keychain);

  std::vector<std::unique_ptr<ChildProcess>> processes;
  for (int i = 0; i < writers; ++i) {
    processes.push_back(ChildProcess::spawn(
        {{setup.writer, keychain, std::to_string(setup.incrementsPerWriter)}, {}, true}));
  }
  for (auto& process : processes) {
    if (process->readLine() != "ready") throw std::runtime_error("a writer did not start");
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& process : processes) process->writeLine("go");

  long succeeded = 0, gaveUp = 0, unavailable = 0, refused = 0;
  for (auto& process : processes) {
    std::optional<std::string> line = process->readLine();
    if (!line || process->wait() != 0) throw std::runtime_error("a writer failed");
    const nlohmann::json result = nlohmann::json::parse(*line);
    succeeded += result["succeeded"].get<long>();
    gaveUp += result["gaveUp"].get<long>();
    unavailable += result["unavailable"].get<long>();
    refused += result["refused"].get<long>();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::optional<std::uint32_t> stored = counter.storedCount(keychain);
  return {{"writers", writers},
          {"incrementsPerWriter", setup.incrementsPerWriter},
          {"seconds", seconds},
          {"incrementsPerSecond", static_cast<double>(succeeded) / seconds},
          {"succeeded", succeeded},
          {"gaveUp", gaveUp},
          {"unavailable", unavailable},
          {"refused", refused},
          {"storedMinusSucceeded", stored ? static_cast<long>(*stored) - succeeded : -1}};
}

}  // namespace

nlohmann::json measureContention(const ContentionSetup& setup) {
  nlohmann::json rows = nlohmann::json::array();
  for (int writers : setup.writerCounts) rows.push_back(runWriters(setup, writers));
  return rows;
}

}  // namespace quenlarch::bench
