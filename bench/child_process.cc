// The harness's child processes: a Subprocess with blocking-style reads (no deadline) and line
// splitting, and failures turned into exceptions the harness reports.
#include "bench/child_process.h"

#include <chrono>
#include <stdexcept>

namespace quenlarch::bench {

std::unique_ptr<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
  SubprocessOptions subprocess;
  subprocess.argv = options.argv;
  for (const auto& [name, value] : options.setEnv) {
    subprocess.environment.push_back(name + "=" + value);
  }
  subprocess.output =
      options.captureOutput ? SubprocessOptions::Stream::kPipe : SubprocessOptions::Stream::kNull;
  std::string error;
  std::unique_ptr<Subprocess> process = Subprocess::start(subprocess, &error);
  if (!process) throw std::runtime_error(error);
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(process)));
}

bool ChildProcess::writeLine(std::string_view line) {
  std::string data(line);
  data += '\n';
  return process_->writeInput(data, Subprocess::kNoDeadline);
}

std::optional<std::string> ChildProcess::readLine() {
  while (true) {
    if (std::size_t newline = buffer_.find('\n'); newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (process_->readOutput(buffer_, Subprocess::kNoDeadline) == Subprocess::ReadStatus::kEnd) {
      return std::nullopt;
    }
  }
}

std::string ChildProcess::readAll() {
  std::string all = std::move(buffer_);
  buffer_.clear();
  while (process_->readOutput(all, Subprocess::kNoDeadline) != Subprocess::ReadStatus::kEnd) {
  }
  return all;
}

void ChildProcess::closeInput() { process_->closeInput(); }

int ChildProcess::wait() {
  closeInput();
  process_->waitUntil(Subprocess::kNoDeadline);
  return process_->exitCode().value_or(-1);
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
