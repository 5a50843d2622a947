// The host's one event loop (sd-event) and the sources on it, owned as values: a source's handler
// is a std::function that lives exactly as long as the source, and dropping the source stops it.
// Every source is made with a description (what sd-event's debug log and errors name it by), in
// lower-case words ("provider listener"). Timers read an injected Clock (clock.h). Everything on
// the loop runs on the thread that runs the loop.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/clock.h"

struct sd_event;
struct sd_event_source;

namespace quenlarch::notification_host {

class EventLoop {
 public:
  // Blocks SIGCHLD in the calling thread (the loop's), as child sources need.
  static Expected<EventLoop> create();

  sd_event* get() const { return loop_.get(); }
  // Runs until exit() is called; returns its code, or a negative errno when the loop failed.
  int run();
  // Runs one iteration, waiting as long as it takes for something to happen. False once the loop
  // is over: exit() was called, or sd-event failed (failure() then says how); it then returns
  // false at once, every time, so that a caller waiting for an event never spins on it.
  bool runOnce();
  void exit(int code);
  // "the event loop failed: <error>" once sd-event has failed; none before.
  const std::optional<std::string>& failure() const { return failure_; }

 private:
  struct Unref {
    void operator()(sd_event* loop) const;
  };
  explicit EventLoop(sd_event* loop) : loop_(loop) {}
  std::unique_ptr<sd_event, Unref> loop_;
  std::optional<std::string> failure_;
  bool over_ = false;
};

class EventSource {
 public:
  EventSource() = default;

  // Calls `handler` with the events that occurred (EPOLLIN, EPOLLOUT, EPOLLHUP, ...) while `fd` is
  // ready for `events`. The descriptor stays the caller's; drop the source before closing it.
  static Expected<EventSource> io(sd_event* loop, int fd, std::uint32_t events,
                                  std::function<void(std::uint32_t events)> handler,
                                  std::string_view description);
  // A timer on `clock`, off until armAt().
  static Expected<EventSource> timer(sd_event* loop, std::function<void()> handler,
                                     std::string_view description, Clock& clock = steadyClock());
  // Delivery of `signal`, which the caller has blocked in every thread.
  static Expected<EventSource> signal(sd_event* loop, int signal, std::function<void()> handler,
                                      std::string_view description);
  // Runs `handler` once in the loop's next iteration after each trigger(); off until then.
  static Expected<EventSource> deferred(sd_event* loop, std::function<void()> handler,
                                        std::string_view description);
  // The exit of child `pid` (through a pidfd where the kernel has them), told once with its
  // waitid() record; sd-event reaps the child once `handler` has returned, so nothing else may
  // wait for it. The loop's thread blocks SIGCHLD (EventLoop::create does).
  static Expected<EventSource> child(sd_event* loop, pid_t pid,
                                     std::function<void(const siginfo_t& exit)> handler,
                                     std::string_view description);

  explicit operator bool() const { return source_ != nullptr; }

  void setIoEvents(std::uint32_t events);
  void setEnabled(bool enabled);
  // Timers: fire once at `when` (at once when it has passed); disarm() takes that back.
  void armAt(Clock::time_point when);
  void disarm() { setEnabled(false); }
  bool armed() const;
  // Deferred sources: run the handler once more.
  void trigger();
  // Child sources: hands the source to the loop, which keeps it until the child has exited and
  // been reaped, calling no handler. For a child that was sent SIGKILL: it is reaped without
  // anyone waiting for it.
  static void reapInBackground(EventSource child);

 private:
  struct Unref {
    void operator()(sd_event_source* source) const;
  };
  explicit EventSource(sd_event_source* source) : source_(source) {}
  std::unique_ptr<sd_event_source, Unref> source_;
};

}  // namespace quenlarch::notification_host
