// One running extension process: started with pipes on its standard input and output (standard
// error is shared with the host), spoken to one line at a time, and always reaped. Every wait is
// bounded by a deadline, so a stuck extension can never stall the host.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/subprocess.h"

namespace quenlarch::notification_host {

using Clock = std::chrono::steady_clock;

struct ExtensionLaunch {
  std::string executable;
  // When set, the extension's QUENLARCH_KEYCHAIN; otherwise the host's environment passes through.
  std::optional<std::string> keychain;
};

class ExtensionProcess {
 public:
  // The started process, or null with the reason in *error.
  static std::unique_ptr<ExtensionProcess> start(const ExtensionLaunch& launch, std::string* error);

  ~ExtensionProcess();  // kills and reaps the process if it is still there
  ExtensionProcess(const ExtensionProcess&) = delete;
  ExtensionProcess& operator=(const ExtensionProcess&) = delete;

  pid_t pid() const { return process_->pid(); }

  // Writes `line` and a newline. False when the process is gone or did not take the line by
  // `deadline`; the line may then have been written in part.
  bool writeLine(std::string_view line, Clock::time_point deadline);

  enum class ReadStatus {
    kLine,       // `text` holds one line, without its newline
    kOversized,  // a line longer than the protocol allows was skipped
    kTimeout,    // nothing complete arrived by the deadline
    kClosed,     // the process closed its output or exited, and every line it wrote was read
  };
  struct ReadResult {
    ReadStatus status;
    std::string text;
  };
  ReadResult readLine(Clock::time_point deadline);

  // Closes the process's standard input, gives it until `deadline` to exit (discarding anything
  // it still writes), then kills it. Returns with the process reaped.
  void finish(Clock::time_point deadline);
  // SIGKILL and reap.
  void kill();
  // How the process ended ("exited with status 0", "was killed by signal 6"); empty while it runs.
  std::string exitDescription() const;

 private:
  explicit ExtensionProcess(std::unique_ptr<Subprocess> process) : process_(std::move(process)) {}
  // One wait for output until `deadline`, into the buffer; sets outputClosed_ at its end.
  void readInto(Clock::time_point deadline);
  std::optional<ReadResult> takeBufferedLine();
  // At end of output: a last line without a newline, or kClosed.
  ReadResult takeFinalLine();

  std::unique_ptr<Subprocess> process_;
  bool outputClosed_ = false;
  std::string buffer_;
  bool skippingOversized_ = false;  // dropping the rest of a line that went over the cap
};

}  // namespace quenlarch::notification_host
