// The one clock of the host's loop: the engine's deadlines, the service's idle limits and every
// timer on the loop read it. The real one is the monotonic clock sd-event's timers run on; a test
// hands in a ManualClock and moves it, so that deadlines pass without waiting for them.
//
// Used on the loop's thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>

struct sd_event_source;

namespace quenlarch::notification_host {

class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  virtual time_point now() const = 0;

  // For the loop's timers (EventSource::timer): sets when sd-event fires `timer`, a time source on
  // CLOCK_MONOTONIC, for a deadline at `when` on this clock. forget() is told when it goes.
  virtual void schedule(sd_event_source* timer, time_point when) = 0;
  virtual void forget(sd_event_source* timer) = 0;

 protected:
  Clock() = default;
};

// The process's monotonic clock (std::chrono::steady_clock, which is CLOCK_MONOTONIC).
Clock& steadyClock();

// A clock that stands still until advance() moves it. A timer due at or before the clock's time
// fires on the loop's next turn; one due later fires once the clock has been moved past it.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(time_point start = time_point(std::chrono::hours(1))) : now_(start) {}
  ManualClock(const ManualClock&) = delete;
  ManualClock& operator=(const ManualClock&) = delete;

  time_point now() const override { return now_; }
  void advance(duration by);

  void schedule(sd_event_source* timer, time_point when) override;
  void forget(sd_event_source* timer) override { waiting_.erase(timer); }

 private:
  time_point now_;
  std::map<sd_event_source*, time_point> waiting_;  // armed for a time not yet reached
};

}  // namespace quenlarch::notification_host
