// The lines serve's standard error gets for provider connections dropped before they brought a
// request: one per connection, naming its peer and the cause, but at most one per cause per
// window; the rest of the window's drops of that cause are counted and said in one line when the
// window ends, so that a flood of bad clients costs a line, not a line each.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "tools/notification_host/engine/event_loop.h"

namespace quenlarch::notification_host::provider {

class DropNotes {
 public:
  using Note = std::function<void(std::string_view line)>;
  using Time = Clock::time_point;

  DropNotes(sd_event* event, Note note, Clock::duration window = std::chrono::seconds(10),
            Clock& clock = steadyClock());
  ~DropNotes();  // says the counts still held
  DropNotes(const DropNotes&) = delete;
  DropNotes& operator=(const DropNotes&) = delete;

  // `cause` is the kind, `detail` (may be empty) follows it on the line.
  void dropped(const std::string& peer, std::string_view cause, std::string_view detail = {});

 private:
  struct Window {
    Time ends;
    std::size_t held = 0;
    std::string lastPeer;
  };
  void sayHeld(Time now);

  Note note_;
  Clock::duration window_;
  Clock& clock_;
  std::map<std::string, Window, std::less<>> windows_;
  EventSource timer_;  // says the counts when their window ends
};

}  // namespace quenlarch::notification_host::provider
