// Rate limit for diagnostics: within a window, the first few notes of a kind are printed and the
// rest only counted; when the window ends the count is printed as one line ("... (and 41 more
// like it)"). A kind is a note's wording up to its first ':' or '(' (where details start), so
// that the extension's complaints are one kind while notes naming two files or two requests are
// two; past `kinds` kinds in a window the rest share one count, which bounds a flood of notes
// that each name something new. Pure logic: the caller supplies the time, prints what comes back
// and asks for due counts when nextDue() arrives.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quenlarch::tools {

struct NoteLimits {
  std::chrono::steady_clock::duration window = std::chrono::seconds(1);
  std::size_t perWindow = 3;  // notes of one kind printed per window
  std::size_t kinds = 64;     // kinds tracked at once; more share one count
};

class NoteLimiter {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  using Limits = NoteLimits;

  explicit NoteLimiter(Limits limits = NoteLimits()) : limits_(limits) {}

  // The lines to print for `message` arriving at `now`: the counts of windows that have ended,
  // then the message itself unless its kind has had its share of the window.
  std::vector<std::string> offer(std::string_view message, TimePoint now);
  // The counts of windows that ended by `now`.
  std::vector<std::string> due(TimePoint now);
  // Every count still held, for a program about to exit.
  std::vector<std::string> flush() { return due(TimePoint::max()); }
  // When the next count falls due; none while nothing is held back.
  std::optional<TimePoint> nextDue() const;

  static std::string kindOf(std::string_view message);

 private:
  struct Window {
    TimePoint ends;
    std::size_t printed = 0;
    std::size_t held = 0;
    std::string firstHeld;
  };
  Limits limits_;
  std::map<std::string, Window> windows_;
};

}  // namespace quenlarch::tools
