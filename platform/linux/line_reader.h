// Reads newline-terminated lines from a file descriptor with a cap on their length, so that a peer
// sending an endless line costs bounded memory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace quenlarch {

struct Line {
  std::string text;        // without the newline; empty when oversized
  bool oversized = false;  // the line exceeded the cap and was skipped
};

class LineReader {
 public:
  LineReader(int fd, std::size_t maxLineBytes) : fd_(fd), maxLineBytes_(maxLineBytes) {}

  // The next line, or none at end of input (or a read error). A final line without a newline is
  // returned as a line.
  std::optional<Line> next();

 private:
  int fd_;
  std::size_t maxLineBytes_;
  std::string buffer_;
  bool eof_ = false;
};

}  // namespace quenlarch
