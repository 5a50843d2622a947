// Child processes through posix_spawn and pipes.
#include "bench/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quenlarch::bench {
namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view entry(*e);
    std::string name(entry.substr(0, entry.find('=')));
    if (!overrides.contains(name)) env.emplace_back(entry);
  }
  for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::unique_ptr<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
  int inPipe[2];
  int outPipe[2];
  if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  if (options.captureOutput) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  std::vector<std::string> envStrings = environmentWith(options.setEnv);
  std::vector<char*> envp = pointersTo(envStrings);
  std::vector<std::string> argvStrings = options.argv;
  std::vector<char*> argv = pointersTo(argvStrings);

  // The harness ignores SIGPIPE; its children get the default back, as the host gives it.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  if (rc != 0) {
    ::close(inPipe[1]);
    ::close(outPipe[0]);
    throw std::runtime_error("cannot start " + options.argv[0] + ": " + std::strerror(rc));
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(pid, inPipe[1], outPipe[0]));
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
  }
  closeInput();
  ::close(outFd_);
}

bool ChildProcess::writeLine(std::string_view line) {
  std::string data(line);
  data += '\n';
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(inFd_, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine() {
  while (true) {
    if (std::size_t newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    char chunk[16384];
    const ssize_t n = ::read(outFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string ChildProcess::readAll() {
  std::string all = std::move(buffer_);
  buffer_.clear();
  char chunk[16384];
  while (true) {
    const ssize_t n = ::read(outFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return all;
    all.append(chunk, static_cast<std::size_t>(n));
  }
}

void ChildProcess::closeInput() {
  if (inFd_ < 0) return;
  ::close(inFd_);
  inFd_ = -1;
}

int ChildProcess::wait() {
  closeInput();
  if (!reaped_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    reaped_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return status_;
}

double timeCommand(const SpawnOptions& options) {
  SpawnOptions discarding = options;
  discarding.captureOutput = false;
  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<ChildProcess> child = ChildProcess::spawn(discarding);
  const int status = child->wait();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (status != 0) {
    throw std::runtime_error(options.argv[0] + " exited with status " + std::to_string(status));
  }
  return seconds;
}

}  // namespace quenlarch::bench
