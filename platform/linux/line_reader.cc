// LineBuffer keeps a read offset instead of erasing each line from the front, so that a chunk of
// many short lines is split in linear time; the consumed front is dropped once it is the larger
// half.
#include "platform/linux/line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace quenlarch {

void LineBuffer::append(std::string_view bytes) {
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
  dropOversized();
}

void LineBuffer::dropOversized() {
  // Only a line without its newline yet can be dropped here; a complete one is left for next().
  if (buffer_.find('\n', start_) != std::string::npos) return;
  if (buffer_.size() - start_ > maxLineBytes_) {
    skipping_ = true;
    buffer_.clear();
    start_ = 0;
  }
}

std::optional<Line> LineBuffer::next() {
  const std::size_t newline = buffer_.find('\n', start_);
  if (newline == std::string::npos) {
    dropOversized();
    return std::nullopt;
  }
  Line line;
  if (skipping_ || newline - start_ > maxLineBytes_) {
    line.oversized = true;
    skipping_ = false;
  } else {
    line.text.assign(buffer_, start_, newline - start_);
  }
  start_ = newline + 1;
  if (start_ == buffer_.size()) {
    buffer_.clear();
    start_ = 0;
  }
  return line;
}

std::optional<Line> LineBuffer::finish() {
  if (std::optional<Line> line = next()) return line;
  if (!skipping_ && start_ == buffer_.size()) return std::nullopt;
  Line line;
  line.oversized = skipping_;
  if (!skipping_) line.text.assign(buffer_, start_);
  skipping_ = false;
  buffer_.clear();
  start_ = 0;
  return line;
}

std::optional<Line> LineReader::next() {
  while (true) {
    if (std::optional<Line> line = lines_.next()) return line;
    if (eof_) return lines_.finish();
    char chunk[16384];
    const ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      continue;
    }
    lines_.append(std::string_view(chunk, static_cast<std::size_t>(n)));
  }
}

}  // namespace quenlarch
