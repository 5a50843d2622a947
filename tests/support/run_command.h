// Runs a program as a child process and captures its output and exit status, for tests that drive
// the real binaries.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace quenlarch::testing {

struct CommandResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program path) with `input` on its standard input. Extra
// environment entries "NAME=value" are added to the inherited environment.
CommandResult runCommand(const std::vector<std::string>& argv, const std::string& input = "",
                         const std::vector<std::string>& extraEnv = {});

// Each line of a program's output parsed as JSON (a discarded value where a line is not JSON).
std::vector<nlohmann::json> jsonLines(const std::string& text);

}  // namespace quenlarch::testing
