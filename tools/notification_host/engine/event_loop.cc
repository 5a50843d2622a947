// sd-event wrappers. A handler is boxed on the heap and handed to sd-event as the source's
// userdata; the source's destroy callback frees it. sd-event frees a source dropped from inside
// its own handler only after that handler has returned, so a handler may drop its own source.
#include "tools/notification_host/engine/event_loop.h"

#include <systemd/sd-event.h>

#include <cstring>
#include <string>

namespace quenlarch::notification_host {
namespace {

template <typename Handler>
void destroyBox(void* box) {
  delete static_cast<Handler*>(box);
}

std::string failure(const char* what, int negativeErrno) {
  return std::string(what) + ": " + std::strerror(-negativeErrno);
}

// Hands `box` to `source` for good, naming it `description`, or frees it when there is no source.
template <typename Handler>
Expected<sd_event_source*> adopt(int rc, sd_event_source* source, Handler* box, const char* what,
                                 std::string_view description) {
  if (rc < 0) {
    delete box;
    return unexpected(failure(what, rc));
  }
  sd_event_source_set_destroy_callback(source, &destroyBox<Handler>);
  sd_event_source_set_description(source, std::string(description).c_str());
  return source;
}

std::uint64_t microseconds(Clock::time_point when) {
  const auto since = std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
  return since.count() <= 0 ? 1 : static_cast<std::uint64_t>(since.count());
}

using Plain = std::function<void()>;
using IoHandler = std::function<void(std::uint32_t)>;

int runPlain(void* box) {
  (*static_cast<Plain*>(box))();
  return 0;
}

}  // namespace

void EventLoop::Unref::operator()(sd_event* loop) const { sd_event_unref(loop); }

Expected<EventLoop> EventLoop::create() {
  sd_event* loop = nullptr;
  const int rc = sd_event_new(&loop);
  if (rc < 0) return unexpected(failure("cannot make an event loop", rc));
  return EventLoop(loop);
}

int EventLoop::run() { return sd_event_loop(loop_.get()); }

void EventLoop::runOnce() { sd_event_run(loop_.get(), UINT64_MAX); }

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
                                         std::string_view description) {
  auto* box = new Plain(std::move(handler));
  sd_event_source* source = nullptr;
  // Accuracy 1 µs: the default lets sd-event fire up to 250 ms late to batch wake-ups, which a
  // push's deadline cannot afford.
  const int rc = sd_event_add_time(
      loop, &source, CLOCK_MONOTONIC, 0, 1,
      [](sd_event_source*, std::uint64_t, void* userdata) { return runPlain(userdata); }, box);
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

void EventSource::describe(const char* description) {
  sd_event_source_set_description(source_.get(), description);
}

void EventSource::setIoEvents(std::uint32_t events) {
  sd_event_source_set_io_events(source_.get(), events);
}

void EventSource::setEnabled(bool enabled) {
  sd_event_source_set_enabled(source_.get(), enabled ? SD_EVENT_ON : SD_EVENT_OFF);
}

void EventSource::armAt(Clock::time_point when) {
  sd_event_source_set_time(source_.get(), microseconds(when));
  sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT);
}

bool EventSource::armed() const {
  int enabled = SD_EVENT_OFF;
  sd_event_source_get_enabled(source_.get(), &enabled);
  return enabled != SD_EVENT_OFF;
}

void EventSource::trigger() { sd_event_source_set_enabled(source_.get(), SD_EVENT_ONESHOT); }

}  // namespace quenlarch::notification_host
