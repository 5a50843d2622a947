// The results table: every figure beside its floor from the same run, the ratio, the goal and
// whether it was met, as Markdown; then the extension's resident memory split by mapping.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace quenlarch::bench {

struct Results {
  nlohmann::json pipeline;    // bench-pipeline's JSON output (with repetitions and aggregates)
  nlohmann::json startup;     // measureStartup()
  nlohmann::json contention;  // measureContention()
  nlohmann::json memory;      // measureMemory()
  nlohmann::json service;     // measureService(), or null when not measured
};

std::string resultsTable(const Results& results);
std::string memoryByMappingTable(const nlohmann::json& memory);

}  // namespace quenlarch::bench
