// runCommand: one Subprocess with all three standard streams on pipes, drained together; and
// the JSON lines a program printed.
#include "tests/support/run_command.h"

#include <csignal>
#include <sstream>

#include "platform/linux/subprocess.h"

namespace quenlarch::testing {

CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input,
                         const std::vector<std::string>& extraEnv) {
  // A child that exits without reading its input must fail the test, not kill the test binary.
  static const bool sigpipeIgnored = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)sigpipeIgnored;
  CommandResult result;
  SubprocessOptions options;
  options.argv = argv;
  options.environment = extraEnv;
  options.error = SubprocessOptions::Stream::kPipe;
  std::unique_ptr<Subprocess> child = Subprocess::start(options, &result.err);
  if (!child) {
    result.err = "spawn failed: " + result.err;
    return result;
  }
  Subprocess::Captured captured = child->communicate(input);
  result.out = std::move(captured.output);
  result.err = std::move(captured.error);
  result.exitCode = child->exitCode().value_or(-1);
  return result;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return lines;
}

}  // namespace quenlarch::testing
