// Windows per cause; the timer is set for the earliest window that holds a count.
#include "tools/notification_host/provider/drop_notes.h"

#include <optional>

namespace quenlarch::notification_host::provider {

DropNotes::DropNotes(sd_event* event, Note note, Clock::duration window, Clock& clock)
    : note_(std::move(note)), window_(window), clock_(clock) {
  auto timer = EventSource::timer(
      event, [this] { sayHeld(clock_.now()); }, "provider drop notes", clock_);
  // Without a timer the counts are said with the next drop, or at the end.
  if (timer) timer_ = std::move(*timer);
}

DropNotes::~DropNotes() { sayHeld(Time::max()); }

void DropNotes::dropped(const std::string& peer, std::string_view cause, std::string_view detail) {
  const Time now = clock_.now();
  sayHeld(now);
  auto it = windows_.find(cause);
  if (it == windows_.end()) it = windows_.emplace(std::string(cause), Window{}).first;
  Window& window = it->second;
  if (now < window.ends) {
    ++window.held;
    window.lastPeer = peer;
    return sayHeld(now);  // sets the timer for this count
  }
  window.ends = now + window_;
  std::string line = "provider connection from " + peer + " closed before a request: ";
  line.append(cause);
  if (!detail.empty()) line.append(" (").append(detail).append(")");
  note_(line);
}

void DropNotes::sayHeld(Time now) {
  std::optional<Time> next;
  for (auto& [cause, window] : windows_) {
    if (window.held == 0) continue;
    if (window.ends > now) {
      if (!next || window.ends < *next) next = window.ends;
      continue;
    }
    note_(std::to_string(window.held) + " more provider connections closed before a request: " +
          cause + " (the last from " + window.lastPeer + ")");
    window.held = 0;
  }
  if (timer_) {
    if (next) {
      timer_.armAt(*next);
    } else {
      timer_.disarm();
    }
  }
}

}  // namespace quenlarch::notification_host::provider
