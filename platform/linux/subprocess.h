// A child process started with posix_spawn, its standard streams on close-on-exec pipes (or
// inherited, or /dev/null), and reaped exactly once. Every wait takes a deadline and watches the
// process's pidfd, so that an exit is seen at once even when a grandchild still holds a pipe open.
// Used by the notification host for extension processes (whose exit an event loop's child source
// collects, see disown()), by the benchmark harness and by tests.
//
// Not thread-safe: one thread drives one Subprocess, through the waits here or through its
// descriptors in an event loop. A parent that writes to a child's input
// ignores SIGPIPE, so that a child gone early fails the write rather than killing the parent. The
// pid is always that of a started, not yet reaped child (never 0 or negative), so kill() and the
// waits can reach no other process.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlarch {

struct SubprocessOptions {
  enum class Stream {
    kPipe,     // a pipe whose other end the parent holds
    kInherit,  // the parent's own
    kNull,     // /dev/null
    kFile,     // output and error only: appended to `outputFile` / `errorFile`, made 0600 if new
  };
  std::vector<std::string> argv;  // argv[0] is the executable's path
  // "NAME=value" entries added to the inherited environment, replacing entries of the same name.
  std::vector<std::string> environment;
  Stream input = Stream::kPipe;
  Stream output = Stream::kPipe;
  Stream error = Stream::kInherit;
  std::string outputFile;  // with output = kFile
  std::string errorFile;   // with error = kFile
};

class Subprocess {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

  // The started process, or null with the reason in *error. The child starts with SIGPIPE at its
  // default action and no signal blocked; other ignored signals stay ignored, as exec keeps them.
  static std::unique_ptr<Subprocess> start(const SubprocessOptions& options, std::string* error);

  ~Subprocess();  // kills and reaps the process if it is still there, and closes the pipes
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes all of `data` to the process's input. False when the process exited, closed its input
  // or did not take everything by `deadline`; `data` may then have been written in part.
  bool writeInput(std::string_view data, Clock::time_point deadline);
  void closeInput();

  enum class ReadStatus {
    kData,     // at least one byte was appended
    kEnd,      // the output is closed, or the process exited and nothing more is in the pipe
    kTimeout,  // nothing arrived by the deadline (a deadline already past still reads once)
  };
  // Appends what the process's output holds, waiting for it until `deadline`.
  ReadStatus readOutput(std::string& into, Clock::time_point deadline);

  struct Captured {
    std::string output;
    std::string error;
  };
  // Writes `input` and closes the input, collects output and error (those that are pipes) to
  // their end while doing so, then waits for the exit. Past `deadline` the process is killed.
  // Returns with the process reaped.
  Captured communicate(std::string_view input, Clock::time_point deadline = kNoDeadline);

  // Reaps the process if it has exited by `deadline`; true once it has been reaped.
  bool waitUntil(Clock::time_point deadline);
  // Reaps it without waiting if it has exited; true once it has been reaped.
  bool tryReap() { return waitUntil(Clock::time_point::min()); }
  // SIGKILL, then reaps it once the kernel has ended it, waiting on its pidfd for a moment at most
  // (never in waitpid: a process stuck in the kernel would hold the caller); nothing when it has
  // been reaped already or disowned.
  void kill();
  // Someone else reaps the process from now on (an event loop's child source): this object never
  // waits for it, kill() leaves it alone, and so does the destructor. sendSignal() still reaches
  // it until noteExit(); whoever reaps it must not be left to do so unseen while signals are sent.
  void disown() { disowned_ = true; }
  // Records the exit that whoever reaps it saw (a waitid record); the process counts as reaped.
  void noteExit(const siginfo_t& exit);
  // Sends `signal` to the process; false when it has been reaped already (the pid may then name
  // another process, so nothing is sent) or the kernel refused.
  bool sendSignal(int signal);

  // The parent's ends, for a caller that waits on them in an event loop of its own: -1 for a
  // stream that is no pipe or has been closed. They are non-blocking and close-on-exec, and stay
  // owned by this object. pidFd() turns readable when the process exits; -1 when the kernel gives
  // no pidfd or the process has been reaped.
  int inputFd() const { return inFd_; }
  int outputFd() const { return outFd_; }
  int pidFd() const { return pidfd_; }

  bool reaped() const { return reaped_; }
  // Its exit status when it has been reaped and exited normally; none while it runs or when a
  // signal ended it.
  std::optional<int> exitCode() const;
  // How it ended ("exited with status 0", "was killed by signal 6"); empty while it runs.
  std::string exitDescription() const;

 private:
  Subprocess(pid_t pid, int pidfd, int inFd, int outFd, int errFd)
      : pid_(pid), pidfd_(pidfd), inFd_(inFd), outFd_(outFd), errFd_(errFd) {}
  // Polls `fd` for `events` together with the exit, until `deadline`. True when `fd` is ready;
  // false on the deadline or when the process has exited (it is then reaped).
  bool pollWithExit(int fd, short events, Clock::time_point deadline);
  // Records a finished waitpid (WNOHANG); false when the process is still running or disowned.
  bool reapNow();

  pid_t pid_;
  int pidfd_;  // -1 when the kernel gives none; waits then look again every few milliseconds
  int inFd_;
  int outFd_;
  int errFd_;
  bool reaped_ = false;
  bool disowned_ = false;
  // Once reaped, unless another waiter took the status: the exit status, or the ending signal.
  std::optional<int> exitStatus_;
  std::optional<int> killedBy_;
};

}  // namespace quenlarch
