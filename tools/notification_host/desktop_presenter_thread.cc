// The presenter's thread: the loop wakes on an eventfd, takes the notices handed over and presents
// them; asked to stop, it flushes and leaves the loop.
#include "tools/notification_host/desktop_presenter_thread.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace quenlarch::notification_host {

DesktopPresenterThread::DesktopPresenterThread(const std::string& appPath,
                                               DesktopPresenter::Diagnostics diagnostics,
                                               DesktopPresenter::OpenedHandler onOpened)
    : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this, appPath, diagnostics = std::move(diagnostics),
               onOpened = std::move(onOpened)]() mutable {
        run(appPath, std::move(diagnostics), std::move(onOpened));
      }) {}

DesktopPresenterThread::~DesktopPresenterThread() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake();
  thread_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void DesktopPresenterThread::present(DesktopNotice notice) {
  {
    MutexLock lock(mutex_);
    if (!running_) return;
    notices_.push_back(std::move(notice));
  }
  wake();
}

void DesktopPresenterThread::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void DesktopPresenterThread::run(const std::string& appPath,
                                 DesktopPresenter::Diagnostics diagnostics,
                                 DesktopPresenter::OpenedHandler onOpened) {
  sd_event* loop = nullptr;
  int result = wakeFd_ < 0 ? -errno : sd_event_new(&loop);
  if (result >= 0) result = sd_event_add_io(loop, nullptr, wakeFd_, EPOLLIN, &onWake, this);
  if (result < 0) {
    diagnostics(std::string("cannot show pushes on the desktop (") + std::strerror(-result) + ")");
    MutexLock lock(mutex_);
    running_ = false;
    notices_.clear();
    sd_event_unref(loop);
    return;
  }
  {
    DesktopPresenter presenter(appPath, loop, std::move(diagnostics), std::move(onOpened));
    loop_ = loop;
    presenter_ = &presenter;
    // What was handed over before the loop ran is waiting behind the eventfd already.
    sd_event_loop(loop);
  }
  sd_event_unref(loop);
}

int DesktopPresenterThread::onWake(sd_event_source*, int fd, std::uint32_t, void* self) {
  auto* owner = static_cast<DesktopPresenterThread*>(self);
  std::uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof count);
  std::deque<DesktopNotice> notices;
  bool stopping = false;
  {
    MutexLock lock(owner->mutex_);
    notices.swap(owner->notices_);
    stopping = owner->stopping_;
  }
  for (const DesktopNotice& notice : notices) owner->presenter_->present(notice);
  if (stopping && !std::exchange(owner->flushing_, true)) {
    sd_event* loop = owner->loop_;
    owner->presenter_->flush(kFlushTime, [loop] { sd_event_exit(loop, 0); });
  }
  return 0;
}

}  // namespace quenlarch::notification_host
