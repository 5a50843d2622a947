// Note limiter. A window opens with the first note of its kind and closes `window` later; one that
// held nothing back is forgotten, so that a quiet kind costs nothing.
#include "tools/common/note_limiter.h"

namespace quenlarch::tools {
namespace {

constexpr std::string_view kOtherKinds = "(other notes)";

std::string countLine(const std::string& first, std::size_t held) {
  if (held == 1) return first;
  return first + " (and " + std::to_string(held - 1) + " more like it)";
}

}  // namespace

std::string NoteLimiter::kindOf(std::string_view message) {
  return std::string(message.substr(0, message.find_first_of(":(")));
}

std::vector<std::string> NoteLimiter::due(TimePoint now) {
  std::vector<std::string> lines;
  for (auto it = windows_.begin(); it != windows_.end();) {
    if (now < it->second.ends) {
      ++it;
      continue;
    }
    if (it->second.held > 0) lines.push_back(countLine(it->second.firstHeld, it->second.held));
    it = windows_.erase(it);
  }
  return lines;
}

std::vector<std::string> NoteLimiter::offer(std::string_view message, TimePoint now) {
  std::vector<std::string> lines = due(now);
  std::string kind = kindOf(message);
  if (windows_.find(kind) == windows_.end() && windows_.size() >= limits_.kinds) {
    kind = kOtherKinds;
  }
  Window fresh;
  fresh.ends = now + limits_.window;
  auto [it, opened] = windows_.try_emplace(kind, std::move(fresh));
  Window& window = it->second;
  if (window.printed < limits_.perWindow) {
    ++window.printed;
    lines.emplace_back(message);
  } else if (window.held++ == 0) {
    window.firstHeld = message;
  }
  return lines;
}

std::optional<NoteLimiter::TimePoint> NoteLimiter::nextDue() const {
  std::optional<TimePoint> next;
  for (const auto& [kind, window] : windows_) {
    if (window.held > 0 && (!next || window.ends < *next)) next = window.ends;
  }
  return next;
}

}  // namespace quenlarch::tools
