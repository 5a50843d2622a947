// Payload files and standard-input lines. Reads stop just past the payload limit, so that a huge
// file (or /dev/zero) costs bounded memory and is still refused for its size.
#include "tools/notification_host/payload_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/notification_host/payload.h"

namespace quenlarch::notification_host {
namespace {

RawPayload readPayloadFile(const std::string& path) {
  RawPayload payload{path, {}, std::nullopt};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    payload.refused = std::string("cannot open: ") + std::strerror(errno);
    return payload;
  }
  char chunk[4096];
  while (payload.bytes.size() <= kMaxPayloadBytes) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      payload.refused = std::string("cannot read: ") + std::strerror(errno);
      payload.bytes.clear();
      break;
    }
    if (n == 0) break;
    payload.bytes.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return payload;
}

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r") == std::string::npos;
}

}  // namespace

PayloadSource::PayloadSource(std::vector<std::string> arguments)
    : arguments_(std::move(arguments)) {}

std::optional<RawPayload> PayloadSource::next() {
  while (true) {
    if (stdin_) {
      if (std::optional<RawPayload> line = nextStdinLine()) return line;
      stdin_.reset();
    }
    if (nextArgument_ == arguments_.size()) return std::nullopt;
    const std::string& argument = arguments_[nextArgument_++];
    if (argument != "-") return readPayloadFile(argument);
    stdin_ = std::make_unique<LineReader>(STDIN_FILENO, kMaxPayloadBytes);
  }
}

std::optional<RawPayload> PayloadSource::nextStdinLine() {
  while (std::optional<Line> line = stdin_->next()) {
    ++stdinLine_;
    RawPayload payload{"stdin line " + std::to_string(stdinLine_), {}, std::nullopt};
    if (line->oversized) {
      // The reader keeps none of an oversized line; its size is all that matters here.
      payload.refused = tooLargeReason();
      return payload;
    }
    if (isBlank(line->text)) continue;
    payload.bytes = std::move(line->text);
    return payload;
  }
  return std::nullopt;
}

}  // namespace quenlarch::notification_host
