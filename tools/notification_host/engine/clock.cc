// Clocks. A timer is fired by setting its sd-event time to 1 µs (long past) and left alone by
// setting it to the end of time; either way its enabled state stays the caller's.
#include "tools/notification_host/engine/clock.h"

#include <systemd/sd-event.h>

#include <limits>

namespace quenlarch::notification_host {
namespace {

constexpr std::uint64_t kAtOnce = 1;
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max() - 1;

class SteadyClock final : public Clock {
 public:
  time_point now() const override { return std::chrono::steady_clock::now(); }
  void schedule(sd_event_source* timer, time_point when) override {
    const auto since =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
    sd_event_source_set_time(timer, since <= 0 ? kAtOnce : static_cast<std::uint64_t>(since));
  }
  void forget(sd_event_source*) override {}
};

}  // namespace

Clock& steadyClock() {
  static SteadyClock clock;
  return clock;
}

void ManualClock::advance(duration by) {
  now_ += by;
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->second > now_) {
      ++it;
      continue;
    }
    sd_event_source_set_time(it->first, kAtOnce);
    it = waiting_.erase(it);
  }
}

void ManualClock::schedule(sd_event_source* timer, time_point when) {
  if (when <= now_) {
    waiting_.erase(timer);
    sd_event_source_set_time(timer, kAtOnce);
    return;
  }
  waiting_[timer] = when;
  sd_event_source_set_time(timer, kNever);
}

}  // namespace quenlarch::notification_host
