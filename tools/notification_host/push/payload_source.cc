// Payload files and standard-input lines. Reads stop just past the payload limit, so that a huge
// file costs bounded memory and is still refused for its size.
#include "tools/notification_host/push/payload_source.h"

#include <unistd.h>

#include "platform/linux/file_io.h"
#include "tools/notification_host/push/push_intake.h"

namespace quenlarch::notification_host {
namespace {

// Whitespace after the JSON is no part of the payload (a trailing newline, a CRLF file's carriage
// return, padding), so the limit does not count it; this much of it is read past the limit before
// the file is refused without being kept.
constexpr std::size_t kFileWhitespaceAllowance = 64 * 1024;

// Reads through the shared capped reader, which refuses a FIFO or a device at once rather than
// blocking on it.
RawPayload readPayloadFile(const std::string& path) {
  RawPayload payload{path, {}, std::nullopt};
  FileContents file = readRegularFile(path, kMaxPushTextBytes + kFileWhitespaceAllowance);
  if (file.error) {
    payload.refused = file.error->kind == FileError::Kind::kTooLarge
                          ? tooLargeReason(kMaxPushTextBytes)
                          : file.error->message(kMaxPushTextBytes + kFileWhitespaceAllowance);
    return payload;
  }
  payload.bytes = std::move(file.bytes);
  payload.bytes.resize(withoutTrailingWhitespace(payload.bytes).size());
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
        std::make_unique<LineReader>(STDIN_FILENO, kMaxPushTextBytes + kLineWhitespaceAllowance);
  }
}

std::optional<RawPayload> PayloadSource::nextStdinLine() {
  while (std::optional<Line> line = stdin_->next()) {
    ++stdinLine_;
    RawPayload payload{"stdin line " + std::to_string(stdinLine_), {}, std::nullopt};
    if (line->oversized) {
      // The reader keeps none of an oversized line; its size is all that matters here.
      payload.refused = tooLargeReason(kMaxPushTextBytes);
      return payload;
    }
    if (isBlank(line->text)) continue;
    payload.bytes = std::move(line->text);
    return payload;
  }
  return std::nullopt;
}

}  // namespace quenlarch::notification_host
