// LineReader: buffered reads; an oversized line is drained up to its newline and reported once.
#include "platform/linux/line_reader.h"

#include <unistd.h>

#include <cerrno>

namespace quenlarch {

std::optional<Line> LineReader::next() {
  bool skipping = false;
  while (true) {
    std::size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      Line line;
      if (skipping || newline > maxLineBytes_) {
        line.oversized = true;
      } else {
        line.text = buffer_.substr(0, newline);
      }
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (buffer_.size() > maxLineBytes_) {
      skipping = true;  // keep draining without keeping the bytes
      buffer_.clear();
    }
    if (eof_) {
      if (buffer_.empty() && !skipping) return std::nullopt;
      Line line;
      line.oversized = skipping;
      if (!skipping) line.text = std::move(buffer_);
      buffer_.clear();
      return line;
    }
    char chunk[16384];
    ssize_t n = ::read(fd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
      continue;
    }
    buffer_.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace quenlarch
