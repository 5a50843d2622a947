// Extension channel. Reads take at most a few chunks per wake-up, so that an extension writing
// without end shares the loop with everything else; the loop comes back while more is there.
#include "tools/notification_host/engine/extension_channel.h"

#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "platform/linux/host_protocol.h"

namespace quenlarch::notification_host {
namespace {

static_assert(kMaxExtensionLineBytes == host_protocol::kMaxLineBytes);

constexpr const char* kKeychainVariable = "QUENLARCH_KEYCHAIN";
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr int kChunksPerWakeUp = 4;
constexpr int kChunksAfterExit = 64;

}  // namespace

Expected<std::unique_ptr<ExtensionChannel>> ExtensionChannel::start(sd_event* loop,
                                                                    const ExtensionLaunch& launch,
                                                                    Handlers handlers) {
  SubprocessOptions options;
  options.argv = {launch.executable};
  if (launch.keychain) {
    options.environment = {std::string(kKeychainVariable) + "=" + *launch.keychain};
  }
  // Standard error stays the host's: what the extension reports there reaches the user.
  options.error = SubprocessOptions::Stream::kInherit;
  std::string error;
  std::unique_ptr<Subprocess> process = Subprocess::start(options, &error);
  if (!process) return unexpected(error);
  std::unique_ptr<ExtensionChannel> channel(
      new ExtensionChannel(std::move(process), std::move(handlers)));
  if (Expected<void> watched = channel->watch(loop); !watched) {
    return unexpected(watched.error());  // the channel's destructor kills the process
  }
  return channel;
}

Expected<void> ExtensionChannel::watch(sd_event* loop) {
  // The exit source first: from here on only it reaps the process, and the destructor's kill()
  // hands it on to do so.
  auto exit = EventSource::child(
      loop, process_->pid(), [this](const siginfo_t& how) { exited(how); }, "extension exit");
  if (!exit) return unexpected(exit.error());
  exit_ = std::move(*exit);
  process_->disown();
  auto output = EventSource::io(
      loop, process_->outputFd(), EPOLLIN, [this](std::uint32_t) { readable(); },
      "extension output");
  if (!output) return unexpected(output.error());
  output_ = std::move(*output);
  auto input = EventSource::io(
      loop, process_->inputFd(), EPOLLOUT, [this](std::uint32_t) { writable(); },
      "extension input");
  if (!input) return unexpected(input.error());
  inputReady_ = std::move(*input);
  inputReady_.setEnabled(false);
  return {};
}

ExtensionChannel::~ExtensionChannel() { kill(); }

bool ExtensionChannel::send(std::string_view line) {
  if (stopped_ || process_->inputFd() < 0) return false;
  if (input_.size() - inputSent_ + line.size() + 1 > kMaxQueuedInputBytes) return false;
  input_.append(line);
  input_ += '\n';
  if (!inputReady_.armed()) flushInput();
  return true;
}

void ExtensionChannel::closeInput() {
  inputReady_ = EventSource();
  process_->closeInput();
  input_.clear();
  inputSent_ = 0;
}

void ExtensionChannel::kill(std::function<void()> reaped) {
  stopped_ = true;
  output_ = EventSource();
  inputReady_ = EventSource();
  if (!exit_) {
    process_->kill();  // never watched, or its exit handled already
    return;
  }
  process_->sendSignal(SIGKILL);
  reaped_ = std::move(reaped);
  // Without anyone to tell, the loop reaps it on its own once the kernel has ended it.
  if (!reaped_) EventSource::reapInBackground(std::move(exit_));
}

void ExtensionChannel::readable() {
  if (readChunks(kChunksPerWakeUp) == ReadResult::kEnded) end();
}

void ExtensionChannel::writable() { flushInput(); }

void ExtensionChannel::exited(const siginfo_t& how) {
  process_->noteExit(how);  // sd-event reaps it once this returns
  if (stopped_) {
    exit_ = EventSource();
    const std::function<void()> reaped = std::move(reaped_);
    if (reaped) reaped();
    return;
  }
  // Everything it wrote is in the pipe now; a child of its own that still holds the pipe open is
  // not waited for, nor is one that keeps writing without end.
  ReadResult result = ReadResult::kMore;
  for (int round = 0; round < kChunksAfterExit && result == ReadResult::kMore; ++round) {
    result = readChunks(1);
  }
  end();
}

ExtensionChannel::ReadResult ExtensionChannel::readChunks(int chunks) {
  for (int i = 0; i < chunks && !stopped_; ++i) {
    char chunk[kChunkBytes];
    const ssize_t n = ::read(process_->outputFd(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return ReadResult::kDrained;
    if (n <= 0) return ReadResult::kEnded;
    const std::function<bool()> admit = handlers_.admit;
    if (admit && !admit()) return ReadResult::kDrained;
    if (stopped_) return ReadResult::kDrained;
    lines_.append(std::string_view(chunk, static_cast<std::size_t>(n)));
    handLines();
  }
  return ReadResult::kMore;
}

void ExtensionChannel::handLines() {
  while (!stopped_) {
    std::optional<Line> line = lines_.next();
    if (!line) return;
    hand(*line);
  }
}

void ExtensionChannel::hand(const Line& line) {
  // Copies: a handler may replace the handlers while it runs.
  if (line.oversized) {
    const std::function<void()> oversized = handlers_.oversized;
    oversized();
  } else {
    const std::function<void(std::string_view)> handle = handlers_.line;
    handle(line.text);
  }
}

void ExtensionChannel::flushInput() {
  while (inputSent_ < input_.size()) {
    const ssize_t n =
        ::write(process_->inputFd(), input_.data() + inputSent_, input_.size() - inputSent_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      inputReady_.setEnabled(true);
      return;
    }
    if (n <= 0) {
      // It closed its input (EPIPE): it can take no request any more. Its end comes through the
      // pidfd like any other.
      closeInput();
      process_->sendSignal(SIGKILL);
      return;
    }
    inputSent_ += static_cast<std::size_t>(n);
  }
  input_.clear();
  inputSent_ = 0;
  if (inputReady_) inputReady_.setEnabled(false);
}

void ExtensionChannel::end() {
  if (stopped_) return;
  if (output_) {
    output_ = EventSource();
    // The last line may lack its newline.
    if (std::optional<Line> last = lines_.finish()) {
      hand(*last);
      if (stopped_) return;
    }
  }
  if (!process_->reaped()) {
    // It only closed its output: make sure it is gone. Its end is told once the loop has seen it.
    process_->sendSignal(SIGKILL);
    return;
  }
  stopped_ = true;
  inputReady_ = EventSource();
  exit_ = EventSource();  // its exit has been handled; sd-event reaps it
  const std::function<void(const std::string&)> ended = handlers_.ended;
  ended(process_->exitDescription());
}

}  // namespace quenlarch::notification_host
