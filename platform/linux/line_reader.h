// Newline-terminated lines with a cap on their length, so that a peer sending an endless line
// costs bounded memory. LineBuffer splits bytes that arrive however they may (an event loop's
// reads); LineReader reads a blocking descriptor through one.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quenlarch {

struct Line {
  std::string text;        // without the newline; empty when oversized
  bool oversized = false;  // the line exceeded the cap and was skipped
};

// A line with nothing to say: empty, or spaces, tabs and a CRLF's carriage return only.
inline bool blankLine(std::string_view text) {
  return text.find_first_not_of(" \t\r") == std::string_view::npos;
}

class LineBuffer {
 public:
  explicit LineBuffer(std::size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // Adds bytes read from the peer. What belongs to a line already over the cap is dropped at once,
  // so the buffer never holds much more than the cap and the last chunk appended.
  void append(std::string_view bytes);
  // The next complete line, or none until more bytes arrive.
  std::optional<Line> next();
  // At the end of input: the last line when it had no newline (or its oversized mark), then none.
  std::optional<Line> finish();

 private:
  void dropOversized();

  std::size_t maxLineBytes_;
  std::string buffer_;
  std::size_t start_ = 0;  // where the unread part of buffer_ begins
  bool skipping_ = false;  // dropping the rest of a line that went over the cap
};

class LineReader {
 public:
  LineReader(int fd, std::size_t maxLineBytes) : fd_(fd), lines_(maxLineBytes) {}

  // The next line, or none at end of input (or a read error). A final line without a newline is
  // returned as a line.
  std::optional<Line> next();

 private:
  int fd_;
  LineBuffer lines_;
  bool eof_ = false;
};

}  // namespace quenlarch
