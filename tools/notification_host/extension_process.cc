// Extension process: a Subprocess with its input and output on pipes, spoken to in lines; every
// wait is bounded by the caller's deadline.
#include "tools/notification_host/extension_process.h"

#include <vector>

#include "platform/linux/host_protocol.h"

namespace quenlarch::notification_host {
namespace {

constexpr const char* kKeychainVariable = "QUENLARCH_KEYCHAIN";

}  // namespace

std::unique_ptr<ExtensionProcess> ExtensionProcess::start(const ExtensionLaunch& launch,
                                                          std::string* error) {
  SubprocessOptions options;
  options.argv = {launch.executable};
  if (launch.keychain)
    options.environment = {std::string(kKeychainVariable) + "=" + *launch.keychain};
  // Standard error stays the host's: what the extension reports there reaches the user.
  options.error = SubprocessOptions::Stream::kInherit;
  std::unique_ptr<Subprocess> process = Subprocess::start(options, error);
  if (!process) return nullptr;
  return std::unique_ptr<ExtensionProcess>(new ExtensionProcess(std::move(process)));
}

ExtensionProcess::~ExtensionProcess() = default;  // the Subprocess kills and reaps

bool ExtensionProcess::writeLine(std::string_view line, Clock::time_point deadline) {
  std::string data(line);
  data += '\n';
  return process_->writeInput(data, deadline);
}

ExtensionProcess::ReadResult ExtensionProcess::readLine(Clock::time_point deadline) {
  bool lateReadDone = false;
  while (true) {
    if (std::optional<ReadResult> line = takeBufferedLine()) return *line;
    if (outputClosed_) return takeFinalLine();
    if (Clock::now() >= deadline) {
      // Past the deadline only what has already arrived counts, taken in one read, so that an
      // extension writing without end cannot hold the host.
      if (lateReadDone) return {ReadStatus::kTimeout, {}};
      lateReadDone = true;
    }
    readInto(deadline);
  }
}

void ExtensionProcess::finish(Clock::time_point deadline) {
  process_->closeInput();
  // Keep reading (and dropping) what it writes, so that it cannot block on a full pipe while on
  // its way out; nothing it says now can be shown any more.
  while (!outputClosed_ && Clock::now() < deadline) {
    readInto(deadline);
    buffer_.clear();
  }
  if (!process_->waitUntil(deadline)) process_->kill();
}

void ExtensionProcess::kill() { process_->kill(); }

std::string ExtensionProcess::exitDescription() const { return process_->exitDescription(); }

void ExtensionProcess::readInto(Clock::time_point deadline) {
  if (process_->readOutput(buffer_, deadline) == Subprocess::ReadStatus::kEnd) {
    outputClosed_ = true;
  }
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
