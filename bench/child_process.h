// A child process for the harness: a Subprocess with standard input and output on pipes (or output
// discarded), read line by line, waiting as long as it takes. The harness times whole process
// lives with it, so it adds nothing but the spawn and a wait.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/subprocess.h"

namespace quenlarch::bench {

struct SpawnOptions {
  std::vector<std::string> argv;              // argv[0] is the executable's path
  std::map<std::string, std::string> setEnv;  // added to (or replacing in) the harness's own
  bool captureOutput = true;                  // otherwise standard output goes to /dev/null
};

class ChildProcess {
 public:
  // The started process; throws when it cannot be started.
  static std::unique_ptr<ChildProcess> spawn(const SpawnOptions& options);
  // Destroying it kills and reaps the process if it still runs.
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return process_->pid(); }

  // Writes `line` and a newline; false when the process no longer reads.
  bool writeLine(std::string_view line);
  // The next line of its output without the newline; none at end of output.
  std::optional<std::string> readLine();
  // Everything it still writes, up to end of output.
  std::string readAll();
  void closeInput();
  // Closes its input and waits for it to exit; its exit status, or -1 when it did not exit.
  int wait();

 private:
  explicit ChildProcess(std::unique_ptr<Subprocess> process) : process_(std::move(process)) {}

  std::unique_ptr<Subprocess> process_;
  std::string buffer_;
};

// Runs a command to its end with its output discarded; seconds from spawn to reaping. Throws when
// it cannot be started or exits with a failure.
double timeCommand(const SpawnOptions& options);

}  // namespace quenlarch::bench
