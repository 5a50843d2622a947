// The payloads named on the command line, one at a time and in order: a file path gives one
// payload, "-" gives one per non-blank line of standard input, read as they arrive.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/line_reader.h"

namespace quenlarch::notification_host {

struct RawPayload {
  std::string name;  // the file path, or "stdin line N"
  std::string bytes;
  // Set when the payload is refused before its content is looked at (unreadable, too large).
  std::optional<std::string> refused;
};

class PayloadSource {
 public:
  explicit PayloadSource(std::vector<std::string> arguments);

  // The next payload, or none when every argument has been used up.
  std::optional<RawPayload> next();

 private:
  std::optional<RawPayload> nextStdinLine();

  std::vector<std::string> arguments_;
  std::size_t nextArgument_ = 0;
  std::unique_ptr<LineReader> stdin_;  // set while a "-" is being read
  std::size_t stdinLine_ = 0;          // lines of standard input read so far, over every "-"
};

}  // namespace quenlarch::notification_host
