// The bounded wait before the host exits: until the bus has read everything presented and the
// server has answered every notification sent, or until the deadline.
#include "tools/notification_host/desktop/desktop_presenter.h"

namespace quenlarch::notification_host {

using namespace desktop_bus;

void DesktopPresenter::flush(std::chrono::microseconds within, std::function<void()> done) {
  flushDone_ = std::move(done);
  if (bus_ == nullptr || sd_bus_is_open(bus_) <= 0 || !flushDeadline_) return finishFlush();
  // The bus answers this after it has read everything sent before it, so its answer also means
  // the signals before it are written. It is not held back by a full queue: it is the last one.
  MessagePtr call = newCall(bus_, kBusName, kBusPath, "GetId");
  barrierWaiting_ = call && sd_bus_call_async(bus_, nullptr, call.get(), &onBarrier, this, 0) >= 0;
  flushDeadline_.armAt(steadyClock().now() + within);
  finishFlushIfIdle();
}

bool DesktopPresenter::idle() const {
  return !barrierWaiting_ && notifyCalls_ == 0 && capabilities_ != Capabilities::kAsking &&
         held_.empty();
}

void DesktopPresenter::finishFlushIfIdle() {
  if (flushDone_ && idle()) finishFlush();
}

void DesktopPresenter::finishFlush() {
  if (flushDeadline_) flushDeadline_.disarm();
  if (std::function<void()> done = std::exchange(flushDone_, {})) done();
}

void DesktopPresenter::flushDeadlineReached() {
  std::uint64_t queued = 0;
  if (bus_ != nullptr) sd_bus_get_n_queued_write(bus_, &queued);
  diagnostics_("stopped waiting for the desktop: " + std::to_string(waiting()) +
               " notifications unanswered, " + std::to_string(queued) + " messages unwritten");
  finishFlush();
}

int DesktopPresenter::onBarrier(sd_bus_message*, void* self, sd_bus_error*) {
  auto* presenter = static_cast<DesktopPresenter*>(self);
  presenter->barrierWaiting_ = false;
  presenter->finishFlushIfIdle();
  return 0;
}

}  // namespace quenlarch::notification_host
