// Contention: several writer processes (bench-writer) increment one counter at once, released
// together. For each number of writers: increments per second, how many increments gave up after
// every attempt lost its race, how many failed because the store stayed busy past its timeout, and
// the stored count minus the successes reported (which must be 0: no increment may be lost or
// counted twice).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quenlarch::bench {

struct ContentionSetup {
  std::string writer;  // bench-writer
  std::vector<int> writerCounts{1, 2, 8, 32};
  int incrementsPerWriter = 200;
};

// One object per writer count.
nlohmann::json measureContention(const ContentionSetup& setup);

}  // namespace quenlarch::bench
