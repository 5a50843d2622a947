// Extension process: posix_spawn with two pipes, non-blocking ends on the host's side, poll for
// every wait.
#include "tools/notification_host/extension_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/linux/host_protocol.h"

extern char** environ;

namespace quenlarch::notification_host {
namespace {

constexpr const char* kKeychainVariable = "QUENLARCH_KEYCHAIN";
// Reads wake up at least this often to look for an exited process whose output some other process
// (a child it started) still holds open, so that no end-of-file ever comes.
constexpr int kExitCheckMs = 50;

// Milliseconds from `now` to `deadline`, rounded up, within [0, cap].
int millisUntil(Clock::time_point deadline, Clock::time_point now, int cap) {
  if (deadline <= now) return 0;
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<decltype(remaining)>(remaining, cap));
}

std::vector<std::string> childEnvironment(const ExtensionLaunch& launch) {
  std::vector<std::string> env;
  const std::string prefix = std::string(kKeychainVariable) + "=";
  for (char** e = environ; *e != nullptr; ++e) {
    if (launch.keychain && std::string_view(*e).starts_with(prefix)) continue;
    env.emplace_back(*e);
  }
  if (launch.keychain) env.push_back(prefix + *launch.keychain);
  return env;
}

void closeBoth(int fds[2]) {
  ::close(fds[0]);
  ::close(fds[1]);
}

}  // namespace

std::unique_ptr<ExtensionProcess> ExtensionProcess::start(const ExtensionLaunch& launch,
                                                          std::string* error) {
  // Close-on-exec everywhere: the dup2 onto 0 and 1 clears it for the child's own ends, and no
  // other extension process ever holds a copy of these pipes.
  int inPipe[2];
  int outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return nullptr;
  }
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    closeBoth(inPipe);
    return nullptr;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  // The host ignores SIGPIPE, and an ignored signal stays ignored across exec; the extension gets
  // the default back.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t noneBlocked;
  sigemptyset(&noneBlocked);
  posix_spawnattr_setsigmask(&attr, &noneBlocked);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<std::string> envStrings = childEnvironment(launch);
  std::vector<char*> envp;
  for (std::string& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string program = launch.executable;
  char* argv[] = {program.data(), nullptr};

  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (rc != 0) {
    *error = "cannot start " + launch.executable + ": " + std::strerror(rc);
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    return nullptr;
  }
  for (int fd : {inPipe[1], outPipe[0]}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return std::unique_ptr<ExtensionProcess>(new ExtensionProcess(pid, inPipe[1], outPipe[0]));
}

ExtensionProcess::~ExtensionProcess() {
  kill();
  closeInput();
  ::close(outFd_);
}

bool ExtensionProcess::writeLine(std::string_view line, Clock::time_point deadline) {
  if (inFd_ < 0) return false;
  std::string data(line);
  data += '\n';
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(inFd_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      // The extension is not reading; wait for room, but not past the deadline.
      Clock::time_point now = Clock::now();
      if (now >= deadline) return false;
      pollfd pfd{inFd_, POLLOUT, 0};
      ::poll(&pfd, 1, millisUntil(deadline, now, kExitCheckMs));
      if (reapIfExited()) return false;
      continue;
    }
    return false;  // EPIPE: nobody reads the other end any more
  }
  return true;
}

ExtensionProcess::ReadResult ExtensionProcess::readLine(Clock::time_point deadline) {
  bool lateReadDone = false;
  while (true) {
    if (std::optional<ReadResult> line = takeBufferedLine()) return *line;
    if (outputClosed_) return takeFinalLine();
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      // Past the deadline only what has already arrived counts, taken in one read, so that an
      // extension writing without end cannot hold the host.
      if (lateReadDone) return {ReadStatus::kTimeout, {}};
      lateReadDone = true;
    }
    // Once the process is reaped, whatever it wrote is already in the pipe: no more waiting.
    int waitMs = reaped_ ? 0 : millisUntil(deadline, now, kExitCheckMs);
    pollfd pfd{outFd_, POLLIN, 0};
    int ready = ::poll(&pfd, 1, waitMs);
    if (ready < 0) {
      if (errno != EINTR) outputClosed_ = true;
      continue;
    }
    if (ready > 0) {
      readOnce();
      continue;
    }
    if (reaped_) {
      outputClosed_ = true;
      continue;
    }
    reapIfExited();
  }
}

void ExtensionProcess::finish(Clock::time_point deadline) {
  closeInput();
  while (!reapIfExited()) {
    Clock::time_point now = Clock::now();
    if (now >= deadline) {
      kill();
      return;
    }
    int waitMs = millisUntil(deadline, now, 10);
    if (outputClosed_) {
      // Wait on the exit itself rather than in 10 ms steps: a pidfd turns readable when the
      // process ends, so the next push is not held up by a sleep.
      const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
      if (pidfd >= 0) {
        pollfd exited{pidfd, POLLIN, 0};
        ::poll(&exited, 1, millisUntil(deadline, now, 1000));
        ::close(pidfd);
      } else {
        ::poll(nullptr, 0, waitMs);
      }
      continue;
    }
    // Keep reading (and dropping) what it writes, so that it cannot block on a full pipe while
    // on its way out; nothing it says now can be shown any more.
    pollfd pfd{outFd_, POLLIN, 0};
    if (::poll(&pfd, 1, waitMs) > 0) {
      readOnce();
      buffer_.clear();
    }
  }
}

void ExtensionProcess::kill() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &waitStatus_, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
}

std::string ExtensionProcess::exitDescription() const {
  if (!reaped_) return "";
  if (WIFEXITED(waitStatus_))
    return "exited with status " + std::to_string(WEXITSTATUS(waitStatus_));
  if (WIFSIGNALED(waitStatus_)) {
    return "was killed by signal " + std::to_string(WTERMSIG(waitStatus_));
  }
  return "ended";
}

bool ExtensionProcess::reapIfExited() {
  if (reaped_) return true;
  pid_t r = ::waitpid(pid_, &waitStatus_, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) reaped_ = true;
  return reaped_;
}

void ExtensionProcess::readOnce() {
  char chunk[16384];
  ssize_t n = ::read(outFd_, chunk, sizeof chunk);
  if (n > 0) {
    buffer_.append(chunk, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
    outputClosed_ = true;
  }
}

void ExtensionProcess::closeInput() {
  if (inFd_ < 0) return;
  ::close(inFd_);
  inFd_ = -1;
}

std::optional<ExtensionProcess::ReadResult> ExtensionProcess::takeBufferedLine() {
  std::size_t newline = buffer_.find('\n');
  if (newline == std::string::npos) {
    if (buffer_.size() > host_protocol::kMaxLineBytes) {
      skippingOversized_ = true;  // keep draining up to the newline without keeping the bytes
      buffer_.clear();
    }
    return std::nullopt;
  }
  ReadResult result{ReadStatus::kLine, {}};
  if (skippingOversized_ || newline > host_protocol::kMaxLineBytes) {
    result.status = ReadStatus::kOversized;
    skippingOversized_ = false;
  } else {
    result.text = buffer_.substr(0, newline);
  }
  buffer_.erase(0, newline + 1);
  return result;
}

ExtensionProcess::ReadResult ExtensionProcess::takeFinalLine() {
  if (skippingOversized_) {
    skippingOversized_ = false;
    buffer_.clear();
    return {ReadStatus::kOversized, {}};
  }
  if (!buffer_.empty()) {
    ReadResult result{ReadStatus::kLine, std::move(buffer_)};
    buffer_.clear();
    return result;
  }
  return {ReadStatus::kClosed, {}};
}

}  // namespace quenlarch::notification_host
