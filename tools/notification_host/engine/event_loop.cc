// sd-event wrappers. A handler is boxed on the heap and handed to sd-event as the source's
// userdata; the source's destroy callback frees it. sd-event frees a source dropped from inside
// its own handler only after that handler has returned, so a handler may drop its own source.
#include "tools/notification_host/engine/event_loop.h"

#include <pthread.h>
#include <systemd/sd-event.h>

#include <cstring>
#include <string>

namespace quenlarch::notification_host {
namespace {

std::string errorText(const char* what, int negativeErrno) {
  return std::string(what) + ": " + std::strerror(-negativeErrno);
}

using Plain = std::function<void()>;
using IoHandler = std::function<void(std::uint32_t)>;

struct TimerBox {
  Plain handler;
  Clock* clock;
  sd_event_source* source = nullptr;
};

struct ChildBox {
  std::function<void(const siginfo_t&)> handler;
  bool background = false;  // reapInBackground(): nobody is told
};

template <typename Box>
void destroyBox(void* box) {
  delete static_cast<Box*>(box);
}

template <>
void destroyBox<TimerBox>(void* box) {
  auto* timer = static_cast<TimerBox*>(box);
  timer->clock->forget(timer->source);
  delete timer;
}

// Hands `box` to `source` for good, naming it `description`, or frees it when there is no source.
template <typename Box>
Expected<sd_event_source*> adopt(int rc, sd_event_source* source, Box* box, const char* what,
                                 std::string_view description) {
  if (rc < 0) {
    delete box;
    return unexpected(errorText(what, rc));
  }
  sd_event_source_set_destroy_callback(source, &destroyBox<Box>);
  sd_event_source_set_description(source, std::string(description).c_str());
  return source;
}

int runPlain(void* box) {
  (*static_cast<Plain*>(box))();
  return 0;
}

}  // namespace

void EventLoop::Unref::operator()(sd_event* loop) const { sd_event_unref(loop); }

Expected<EventLoop> EventLoop::create() {
  sigset_t childSignal;
  sigemptyset(&childSignal);
  sigaddset(&childSignal, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &childSignal, nullptr);
  sd_event* loop = nullptr;
  const int rc = sd_event_new(&loop);
  if (rc < 0) return unexpected(errorText("cannot make an event loop", rc));
  return EventLoop(loop);
}

int EventLoop::run() {
  const int rc = sd_event_loop(loop_.get());
  over_ = true;
  if (rc < 0) failure_ = errorText("the event loop failed", rc);
  return rc;
}

bool EventLoop::runOnce() {
  if (over_) return false;
  const int rc = sd_event_run(loop_.get(), UINT64_MAX);
  if (rc < 0) failure_ = errorText("the event loop failed", rc);
  // A failure inside a handler (a turn run from within one) stays, however this turn ended.
  over_ = over_ || rc < 0 || sd_event_get_state(loop_.get()) == SD_EVENT_FINISHED;
  return !over_;
}

void EventLoop::exit(int code) { sd_event_exit(loop_.get(), code); }

void EventSource::Unref::operator()(sd_event_source* source) const {
  sd_event_source_disable_unref(source);
}

Expected<EventSource> EventSource::io(sd_event* loop, int fd, std::uint32_t events,
                                      std::function<void(std::uint32_t)> handler,
                                      std::string_view description) {
  auto* box = new IoHandler(std::move(handler));
  sd_event_source* source = nullptr;
  const int rc = sd_event_add_io(
      loop, &source, fd, events,
      [](sd_event_source*, int, std::uint32_t revents, void* userdata) {
        (*static_cast<IoHandler*>(userdata))(revents);
        return 0;
      },
      box);
  Expected<sd_event_source*> adopted =
      adopt(rc, source, box, "cannot watch a descriptor", description);
  if (!adopted) return unexpected(adopted.error());
  return EventSource(*adopted);
}

Expected<EventSource> EventSource::timer(sd_event* loop, std::function<void()> handler,
                                         std::string_view description, Clock& clock) {
  auto* box = new TimerBox{std::move(handler), &clock};
  sd_event_source* source = nullptr;
  // Accuracy 1 µs: the default lets sd-event fire up to 250 ms late to batch wake-ups, which a
  // push's deadline cannot afford.
  const int rc = sd_event_add_time(
      loop, &source, CLOCK_MONOTONIC, 0, 1,
      [](sd_event_source*, std::uint64_t, void* userdata) {
        static_cast<TimerBox*>(userdata)->handler();
        return 0;
      },
      box);
  if (rc >= 0) box->source = source;
  Expected<sd_event_source*> adopted = adopt(rc, source, box, "cannot make a timer", description);
  if (!adopted) return unexpected(adopted.error());
  sd_event_source_set_enabled(*adopted, SD_EVENT_OFF);
  return EventSource(*adopted);
}

Expected<EventSource> EventSource::signal(sd_event* loop, int signal, std::function<void()> handler,
                                          std::string_view description) {
  auto* box = new Plain(std::move(handler));
  sd_event_source* source = nullptr;
  const int rc = sd_event_add_signal(
      loop, &source, signal,
      [](sd_event_source*, const signalfd_siginfo*, void* userdata) { return runPlain(userdata); },
      box);
  Expected<sd_event_source*> adopted = adopt(rc, source, box, "cannot watch a signal", description);
  if (!adopted) return unexpected(adopted.error());
  return EventSource(*adopted);
}

Expected<EventSource> EventSource::deferred(sd_event* loop, std::function<void()> handler,
                                            std::string_view description) {
  auto* box = new Plain(std::move(handler));
  sd_event_source* source = nullptr;
  const int rc = sd_event_add_defer(
      loop, &source, [](sd_event_source*, void* userdata) { return runPlain(userdata); }, box);
  Expected<sd_event_source*> adopted =
      adopt(rc, source, box, "cannot make a deferred call", description);
  if (!adopted) return unexpected(adopted.error());
  sd_event_source_set_enabled(*adopted, SD_EVENT_OFF);
  return EventSource(*adopted);
}

Expected<EventSource> EventSource::child(sd_event* loop, pid_t pid,
                                         std::function<void(const siginfo_t&)> handler,
                                         std::string_view description) {
  auto* box = new ChildBox{std::move(handler)};
  sd_event_source* source = nullptr;
  const int rc = sd_event_add_child(
      loop, &source, pid, WEXITED,
      [](sd_event_source* self, const siginfo_t* exit, void* userdata) {
        auto* child = static_cast<ChildBox*>(userdata);
        if (!child->background) {
          child->handler(*exit);
          return 0;
        }
        // Taking the source back from the loop drops the loop's reference; sd-event reaps the
        // child and frees the source once this returns.
        sd_event_source_set_floating(self, 0);
        return 0;
      },
      box);
  Expected<sd_event_source*> adopted =
      adopt(rc, source, box, "cannot watch a child process", description);
  if (!adopted) return unexpected(adopted.error());
  return EventSource(*adopted);
}

void EventSource::setIoEvents(std::uint32_t events) {
  sd_event_source_set_io_events(source_.get(), events);
}

void EventSource::setEnabled(bool enabled) {
  sd_event_source_set_enabled(source_.get(), enabled ? SD_EVENT_ON : SD_EVENT_OFF);
}

void EventSource::armAt(Clock::time_point when) {
  auto* box = static_cast<TimerBox*>(sd_event_source_get_userdata(source_.get()));
  box->clock->schedule(source_.get(), when);
  sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
}

bool EventSource::armed() const {
  int enabled = SD_EVENT_OFF;
  sd_event_source_get_enabled(source_.get(), &enabled);
  return enabled != SD_EVENT_OFF;
}

void EventSource::trigger() { sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT); }

void EventSource::reapInBackground(EventSource child) {
  if (!child || !child.armed()) return;  // its exit has been handled: reaped already
  auto* box = static_cast<ChildBox*>(sd_event_source_get_userdata(child.source_.get()));
  box->background = true;
  box->handler = nullptr;
  sd_event_source_set_floating(child.source_.get(), 1);
  sd_event_source_unref(child.source_.release());
}

}  // namespace quenlarch::notification_host
