// Subprocess: posix_spawn with pipe2(O_CLOEXEC) pipes, non-blocking ends on the parent's side,
// and poll on the pipe together with a pidfd for every wait.
#include "platform/linux/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

extern char** environ;

namespace quenlarch {
namespace {

using Clock = Subprocess::Clock;
using Stream = SubprocessOptions::Stream;

// Without a pidfd, waits look for an exit this often.
constexpr int kExitCheckMs = 10;
// How long kill() waits for the kernel to end the process; one in uninterruptible sleep is left as
// it is rather than holding the caller.
constexpr auto kKillWait = std::chrono::seconds(2);

// Milliseconds from now to `deadline`, rounded up, within [0, cap].
int millisUntil(Clock::time_point deadline, int cap) {
  const Clock::time_point now = Clock::now();
  if (deadline <= now) return 0;
  const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return static_cast<int>(std::min<decltype(remaining)>(remaining, cap));
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string_view variableName(std::string_view entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) {
      return variableName(o) == variableName(entry);
    });
    if (!replaced) env.emplace_back(entry);
  }
  env.insert(env.end(), overrides.begin(), overrides.end());
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// One read into `into`: 1 when bytes arrived, 0 at end of output (or an error), -1 when there is
// nothing to read right now.
int readOnce(int fd, std::string& into) {
  char chunk[16384];
  while (true) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      into.append(chunk, static_cast<std::size_t>(n));
      return 1;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN ? -1 : 0;
  }
}

}  // namespace

std::unique_ptr<Subprocess> Subprocess::start(const SubprocessOptions& options,
                                              std::string* error) {
  if (options.argv.empty()) {
    *error = "no program to start";
    return nullptr;
  }
  if (options.input == Stream::kFile ||
      (options.output == Stream::kFile && options.outputFile.empty()) ||
      (options.error == Stream::kFile && options.errorFile.empty())) {
    *error = "a stream sent to a file needs the file's path (and input cannot be one)";
    return nullptr;
  }
  // fds[i] is {read end, write end} of the pipe for standard stream i, when it is a pipe.
  const std::array<Stream, 3> streams = {options.input, options.output, options.error};
  std::array<std::array<int, 2>, 3> fds{{{-1, -1}, {-1, -1}, {-1, -1}}};
  auto closeAll = [&] {
    for (auto& pipe : fds) {
      closeFd(pipe[0]);
      closeFd(pipe[1]);
    }
  };
  for (std::size_t i = 0; i < 3; ++i) {
    if (streams[i] == Stream::kPipe && ::pipe2(fds[i].data(), O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      closeAll();
      return nullptr;
    }
  }

  // The dup2 onto 0, 1 and 2 clears close-on-exec for the child's own ends only.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (std::size_t i = 0; i < 3; ++i) {
    const int target = static_cast<int>(i);
    if (streams[i] == Stream::kPipe) {
      posix_spawn_file_actions_adddup2(&actions, fds[i][i == 0 ? 0 : 1], target);
    } else if (streams[i] == Stream::kNull) {
      posix_spawn_file_actions_addopen(&actions, target, "/dev/null", i == 0 ? O_RDONLY : O_WRONLY,
                                       0);
    } else if (streams[i] == Stream::kFile) {
      const std::string& file = i == 1 ? options.outputFile : options.errorFile;
      posix_spawn_file_actions_addopen(&actions, target, file.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
    }
  }
  // A parent that ignores SIGPIPE (an ignored signal stays ignored across exec) must not pass
  // that on, nor a blocked signal mask.
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

  std::vector<std::string> envStrings = childEnvironment(options.environment);
  std::vector<char*> envp = pointersTo(envStrings);
  std::vector<std::string> argvStrings = options.argv;
  std::vector<char*> argv = pointersTo(argvStrings);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  closeFd(fds[0][0]);
  closeFd(fds[1][1]);
  closeFd(fds[2][1]);
  if (rc != 0 || pid <= 0) {
    *error = "cannot start " + options.argv[0] + ": " + std::strerror(rc != 0 ? rc : ECHILD);
    closeAll();
    return nullptr;
  }
  const int parentEnds[3] = {fds[0][1], fds[1][0], fds[2][0]};
  for (int fd : parentEnds) {
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  // The child cannot be reaped before this, so the pid still names it. pidfds are close-on-exec.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  return std::unique_ptr<Subprocess>(
      new Subprocess(pid, pidfd, parentEnds[0], parentEnds[1], parentEnds[2]));
}

Subprocess::~Subprocess() {
  kill();
  closeInput();
  closeFd(outFd_);
  closeFd(errFd_);
  closeFd(pidfd_);
}

bool Subprocess::writeInput(std::string_view data, Clock::time_point deadline) {
  while (!data.empty()) {
    if (inFd_ < 0) return false;
    const ssize_t n = ::write(inFd_, data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      if (!pollWithExit(inFd_, POLLOUT, deadline)) return false;
    } else {
      return false;  // EPIPE: nobody reads the other end any more
    }
  }
  return true;
}

void Subprocess::closeInput() { closeFd(inFd_); }

Subprocess::ReadStatus Subprocess::readOutput(std::string& into, Clock::time_point deadline) {
  while (outFd_ >= 0) {
    const bool ready = pollWithExit(outFd_, POLLIN, deadline);
    if (!ready && !reaped_) return ReadStatus::kTimeout;
    if (!ready) {
      // It has exited, so whatever it wrote is in the pipe already; a child of its own that still
      // holds the pipe open is not waited for.
      pollfd pfd{outFd_, POLLIN, 0};
      if (::poll(&pfd, 1, 0) <= 0) break;
    }
    const int got = readOnce(outFd_, into);
    if (got > 0) return ReadStatus::kData;
    if (got == 0) break;
    if (Clock::now() >= deadline) return ReadStatus::kTimeout;
  }
  closeFd(outFd_);
  return ReadStatus::kEnd;
}

Subprocess::Captured Subprocess::communicate(std::string_view input, Clock::time_point deadline) {
  Captured captured;
  if (input.empty()) closeInput();
  while ((inFd_ >= 0 || outFd_ >= 0 || errFd_ >= 0) && !reaped_) {
    pollfd fds[4] = {
        {outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}, {inFd_, POLLOUT, 0}, {pidfd_, POLLIN, 0}};
    const int cap = pidfd_ >= 0 ? INT_MAX : kExitCheckMs;
    const int ready = ::poll(fds, 4, millisUntil(deadline, cap));
    if (ready < 0 && errno != EINTR) break;
    if (ready == 0 && Clock::now() >= deadline) break;
    if (fds[0].revents != 0 && readOnce(outFd_, captured.output) == 0) closeFd(outFd_);
    if (fds[1].revents != 0 && readOnce(errFd_, captured.error) == 0) closeFd(errFd_);
    if (fds[2].revents != 0) {
      const ssize_t n = ::write(inFd_, input.data(), input.size());
      if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || input.empty()) closeInput();
    }
    if (fds[3].revents != 0 || pidfd_ < 0) reapNow();
  }
  // Once it has exited, what it wrote is in the pipes: take that without waiting any more.
  for (auto [fd, into] : {std::pair{&outFd_, &captured.output}, {&errFd_, &captured.error}}) {
    while (*fd >= 0 && readOnce(*fd, *into) > 0) {
    }
    closeFd(*fd);
  }
  closeInput();
  if (!waitUntil(deadline)) kill();
  return captured;
}

bool Subprocess::waitUntil(Clock::time_point deadline) {
  if (reaped_ || reapNow()) return true;
  pollWithExit(-1, 0, deadline);
  return reaped_;
}

void Subprocess::kill() {
  if (reaped_ || disowned_) return;
  ::kill(pid_, SIGKILL);
  waitUntil(Clock::now() + kKillWait);
}

bool Subprocess::sendSignal(int signal) { return !reaped_ && ::kill(pid_, signal) == 0; }

void Subprocess::noteExit(const siginfo_t& exit) {
  reaped_ = true;
  if (exit.si_code == CLD_EXITED) {
    exitStatus_ = exit.si_status;
  } else if (exit.si_code == CLD_KILLED || exit.si_code == CLD_DUMPED) {
    killedBy_ = exit.si_status;
  }
  closeFd(pidfd_);
}

std::optional<int> Subprocess::exitCode() const { return exitStatus_; }

std::string Subprocess::exitDescription() const {
  if (!reaped_) return "";
  if (exitStatus_) return "exited with status " + std::to_string(*exitStatus_);
  if (killedBy_) return "was killed by signal " + std::to_string(*killedBy_);
  return "ended";
}

bool Subprocess::pollWithExit(int fd, short events, Clock::time_point deadline) {
  if (reaped_) {
    // Gone already: one look at the pipe, no waiting.
    pollfd pfd{fd, events, 0};
    return fd >= 0 && ::poll(&pfd, 1, 0) > 0;
  }
  while (true) {
    pollfd fds[2] = {{fd, events, 0}, {pidfd_, POLLIN, 0}};
    const int cap = pidfd_ >= 0 ? INT_MAX : kExitCheckMs;
    const int ready = ::poll(fds, 2, millisUntil(deadline, cap));
    if (ready < 0 && errno != EINTR) ::poll(nullptr, 0, kExitCheckMs);  // no busy loop
    if (ready > 0 && fds[0].revents != 0) return true;
    if ((fds[1].revents != 0 || pidfd_ < 0) && reapNow()) return false;
    if (Clock::now() >= deadline) return false;
  }
}

bool Subprocess::reapNow() {
  if (disowned_) return false;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  // r < 0 (ECHILD) means it cannot be waited for any more; its status is then unknown.
  reaped_ = true;
  if (r == pid_ && WIFEXITED(status)) exitStatus_ = WEXITSTATUS(status);
  if (r == pid_ && WIFSIGNALED(status)) killedBy_ = WTERMSIG(status);
  closeFd(pidfd_);
  return true;
}

}  // namespace quenlarch
