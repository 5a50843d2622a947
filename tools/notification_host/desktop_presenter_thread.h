// A DesktopPresenter on an sd-event loop of its own thread, for hosts whose work is not on a loop:
// deliver, and serve's client threads. They hand each notice over and go on at once; the thread
// shows it. When the object goes, what was handed over gets a bounded time to reach the bus.
//
// Thread-safe: present() may be called from any thread. The diagnostics and opened handlers run on
// the presenter's thread.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <thread>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "tools/notification_host/desktop_presenter.h"

namespace quenlarch::notification_host {

class DesktopPresenterThread {
 public:
  // How long the end waits for the bus and the notification server.
  static constexpr std::chrono::seconds kFlushTime{2};

  DesktopPresenterThread(const std::string& appPath, DesktopPresenter::Diagnostics diagnostics,
                         DesktopPresenter::OpenedHandler onOpened);
  // Waits (up to kFlushTime) for what was presented to reach the desktop, then stops the thread.
  ~DesktopPresenterThread();
  DesktopPresenterThread(const DesktopPresenterThread&) = delete;
  DesktopPresenterThread& operator=(const DesktopPresenterThread&) = delete;

  void present(DesktopNotice notice) EXCLUDES(mutex_);

 private:
  void run(const std::string& appPath, DesktopPresenter::Diagnostics diagnostics,
           DesktopPresenter::OpenedHandler onOpened);
  void wake();
  static int onWake(sd_event_source* source, int fd, std::uint32_t events, void* self);

  const int wakeFd_;  // an eventfd the loop watches
  Mutex mutex_;
  std::deque<DesktopNotice> notices_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool running_ GUARDED_BY(mutex_) = true;  // false once the loop could not be made
  // The loop thread's own, set before the loop runs.
  sd_event* loop_ = nullptr;
  DesktopPresenter* presenter_ = nullptr;
  bool flushing_ = false;
  std::thread thread_;  // last: started once everything above is in place
};

}  // namespace quenlarch::notification_host
