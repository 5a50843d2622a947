// Payload files and standard-input lines. Reads stop just past the payload limit, so that a huge
// file costs bounded memory and is still refused for its size.
#include "tools/notification_host/payload_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/notification_host/payload.h"

namespace quenlarch::notification_host {
namespace {

// What kind of file `mode` is, for the refusal of one that is not a regular file.
std::string fileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

std::optional<std::string> notRegular(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return std::nullopt;
  return "not a regular file (" + fileKind(st.st_mode) + ")";
}

// Refuses anything but a regular file before opening it, so that a FIFO or a device can never
// block the host or be read for ever; O_NONBLOCK and the second look close the gap to the open.
RawPayload readPayloadFile(const std::string& path) {
  RawPayload payload{path, {}, std::nullopt};
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    payload.refused = std::string("cannot open: ") + std::strerror(errno);
    return payload;
  }
  if ((payload.refused = notRegular(st))) return payload;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    payload.refused = std::string("cannot open: ") + std::strerror(errno);
    return payload;
  }
  if (::fstat(fd, &st) != 0 || (payload.refused = notRegular(st))) {
    if (!payload.refused) payload.refused = std::string("cannot read: ") + std::strerror(errno);
    ::close(fd);
    return payload;
  }
  char chunk[4096];
  while (true) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      payload.refused = std::string("cannot read: ") + std::strerror(errno);
      payload.bytes.clear();
      break;
    }
    if (n == 0) break;
    payload.bytes.append(chunk, static_cast<std::size_t>(n));
    // Trailing whitespace is no part of the payload; anything else past the limit ends the read.
    if (payload.bytes.size() > kMaxPayloadBytes) {
      payload.bytes.resize(withoutTrailingWhitespace(payload.bytes).size());
      if (payload.bytes.size() > kMaxPayloadBytes) break;
    }
  }
  ::close(fd);
  return payload;
}

// A line may carry whitespace past the payload limit (a CRLF file's carriage return, padding),
// which the limit does not count; beyond this much more the line is refused without being kept.
constexpr std::size_t kLineWhitespaceAllowance = 1024;

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
    stdin_ =
        std::make_unique<LineReader>(STDIN_FILENO, kMaxPayloadBytes + kLineWhitespaceAllowance);
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
