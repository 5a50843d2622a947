// bench-harness: the multi-process figures and the results table.
//   startup     --host H --app A --keychain K --payload P --trivial T [--runs N] --out F
//   contention  --writer W [--writers 1,2,8,32] [--increments 200] --out F --plot F
//   memory      --app A --keychain K --trivial T [--pushes 1000] --out F
//   service     --host H --badge-app B --app A --keychain K --payload P [--runs 300]
//               [--pushes 10000] --out F
//   table       --pipeline F --startup F --contention F --memory F [--service F]
// Figures go out as JSON files; `table` reads them all and prints the Markdown tables.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "bench/contention_figure.h"
#include "bench/memory_figure.h"
#include "bench/results_table.h"
#include "bench/service_figures.h"
#include "bench/startup_figures.h"

namespace {

using namespace quenlarch::bench;

void writeJson(const std::string& path, const nlohmann::json& json) {
  std::ofstream out(path);
  out << json.dump(2) << '\n';
  if (!out) throw std::runtime_error("cannot write " + path);
}

nlohmann::json readJson(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::stringstream text;
  text << in.rdbuf();
  // Google Benchmark writes the spread of a counter that is always 0 as a bare nan, which is not
  // JSON; no figure here reads those values.
  static const std::regex notANumber(R"(:\s*-?nan\b)", std::regex::icase);
  return nlohmann::json::parse(std::regex_replace(text.str(), notANumber, ": null"));
}

// Writers, increments per second, give-ups and store-unavailable failures, one line per writer
// count, for gnuplot.
void writePlotData(const std::string& path, const nlohmann::json& rows) {
  std::ofstream out(path);
  out << "# writers increments_per_second gave_up store_unavailable\n";
  for (const nlohmann::json& row : rows) {
    out << row["writers"] << ' ' << row["incrementsPerSecond"].get<double>() << ' ' << row["gaveUp"]
        << ' ' << row["unavailable"] << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that dies mid-conversation is reported, not fatal
  CLI::App app{"bench-harness: process-level benchmarks of the badge service"};
  app.require_subcommand(1);
  std::string out;
  std::string plot;

  StartupSetup startup;
  CLI::App* startupCommand = app.add_subcommand("startup", "Process-per-push figures");
  startupCommand->add_option("--host", startup.host)->required();
  startupCommand->add_option("--app", startup.app)->required();
  startupCommand->add_option("--keychain", startup.keychain)->required();
  startupCommand->add_option("--payload", startup.payload)->required();
  startupCommand->add_option("--trivial", startup.trivial)->required();
  startupCommand->add_option("--runs", startup.runs)->capture_default_str();
  startupCommand->add_option("--out", out)->required();

  ContentionSetup contention;
  CLI::App* contentionCommand = app.add_subcommand("contention", "Concurrent writer processes");
  contentionCommand->add_option("--writer", contention.writer)->required();
  contentionCommand->add_option("--writers", contention.writerCounts)->delimiter(',');
  contentionCommand->add_option("--increments", contention.incrementsPerWriter);
  contentionCommand->add_option("--out", out)->required();
  contentionCommand->add_option("--plot", plot)->required();

  MemorySetup memory;
  CLI::App* memoryCommand = app.add_subcommand("memory", "Peak memory of a long-lived extension");
  memoryCommand->add_option("--app", memory.app)->required();
  memoryCommand->add_option("--keychain", memory.keychain)->required();
  memoryCommand->add_option("--trivial", memory.trivial)->required();
  memoryCommand->add_option("--pushes", memory.pushes)->capture_default_str();
  memoryCommand->add_option("--out", out)->required();

  ServiceSetup service;
  CLI::App* serviceCommand = app.add_subcommand("service", "A warm extension behind serve");
  serviceCommand->add_option("--host", service.host)->required();
  serviceCommand->add_option("--badge-app", service.badgeApp)->required();
  serviceCommand->add_option("--app", service.app)->required();
  serviceCommand->add_option("--keychain", service.keychain)->required();
  serviceCommand->add_option("--payload", service.payload)->required();
  serviceCommand->add_option("--runs", service.runs)->capture_default_str();
  serviceCommand->add_option("--pushes", service.pushes)->check(CLI::Range(200, 10'000'000));
  serviceCommand->add_option("--out", out)->required();

  std::string pipelineFile, startupFile, contentionFile, memoryFile, serviceFile;
  CLI::App* tableCommand = app.add_subcommand("table", "Print the results table");
  tableCommand->add_option("--pipeline", pipelineFile)->required();
  tableCommand->add_option("--startup", startupFile)->required();
  tableCommand->add_option("--contention", contentionFile)->required();
  tableCommand->add_option("--memory", memoryFile)->required();
  tableCommand->add_option("--service", serviceFile);

  CLI11_PARSE(app, argc, argv);
  try {
    if (startupCommand->parsed()) {
      writeJson(out, measureStartup(startup));
    } else if (contentionCommand->parsed()) {
      nlohmann::json rows = measureContention(contention);
      writeJson(out, rows);
      writePlotData(plot, rows);
    } else if (memoryCommand->parsed()) {
      writeJson(out, measureMemory(memory));
    } else if (serviceCommand->parsed()) {
      writeJson(out, measureService(service));
    } else {
      Results results{readJson(pipelineFile), readJson(startupFile), readJson(contentionFile),
                      readJson(memoryFile),
                      serviceFile.empty() ? nlohmann::json() : readJson(serviceFile)};
      std::cout << resultsTable(results) << '\n'
                << "Resident memory by mapping (VmRSS now, not the peak):\n\n"
                << memoryByMappingTable(results.memory);
    }
  } catch (const std::exception& e) {
    std::cerr << "bench-harness: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
