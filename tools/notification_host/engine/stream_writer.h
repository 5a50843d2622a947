// Standard output or error on the event loop: lines are queued and written as the descriptor takes
// them, so the loop never waits for a slow reader. The queue is bounded twice: past `backlogBytes`
// the writer says it is behind (the service then stops taking pushes until it has caught up), and
// past `maxQueuedBytes` a line is lost, counted and reported, never dropped silently. Used by serve
// for its shown lines and its notes; runs on the loop's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/event_loop.h"

namespace quenlarch::notification_host {

struct StreamLimits {
  std::size_t backlogBytes = 256 * 1024;
  std::size_t maxQueuedBytes = 16 * 1024 * 1024;
};

class StreamWriter {
 public:
  using Limits = StreamLimits;
  // Told whenever the writer falls behind (true) or has caught up (false).
  using BacklogChanged = std::function<void(bool behind)>;

  // Writes to `fd`, which stays the caller's. A pipe or terminal is written through a description
  // of its own opened non-blocking, so that the flag never reaches whoever shares the stream; a
  // socket with MSG_DONTWAIT; a file (or anything epoll cannot watch) directly, since writing to
  // it never waits for a reader.
  static Expected<std::unique_ptr<StreamWriter>> open(sd_event* loop, int fd,
                                                      std::string_view description,
                                                      Limits limits = StreamLimits());
  ~StreamWriter();
  StreamWriter(const StreamWriter&) = delete;
  StreamWriter& operator=(const StreamWriter&) = delete;

  void onBacklogChanged(BacklogChanged changed) { backlogChanged_ = std::move(changed); }

  // Queues `line` and a newline, writing at once what the descriptor takes.
  void write(std::string_view line);
  // More than backlogBytes waits; it stays so until the queue is down to half of that.
  bool behind() const { return behind_; }
  std::size_t queuedBytes() const { return queuedBytes_; }

  // For a process whose loop is done: writes what is still queued, waiting for the descriptor
  // until `deadline`; what is left then is lost. True when every line written so far arrived.
  bool finish(std::chrono::steady_clock::time_point deadline);

  std::size_t written() const { return written_; }
  std::size_t lost() const { return lost_; }
  // The error of the first failed write ("Broken pipe"); empty while none failed.
  const std::string& failure() const { return failure_; }

 private:
  enum class Mode { kPollable, kSocket, kDirect };
  StreamWriter(int fd, int ownFd, Mode mode, Limits limits)
      : fd_(fd), ownFd_(ownFd), mode_(mode), limits_(limits) {}
  int target() const { return ownFd_ >= 0 ? ownFd_ : fd_; }
  // Writes until the queue is empty or the descriptor is full; false once it failed.
  void flush();
  ssize_t writeSome();
  void fail(int error);
  void updateBacklog();

  const int fd_;
  int ownFd_;  // -1: writing to fd_ itself
  Mode mode_;
  const Limits limits_;
  std::deque<std::string> lines_;  // each with its newline; the front one from frontSent_ on
  std::size_t frontSent_ = 0;
  std::size_t queuedBytes_ = 0;
  std::size_t written_ = 0;
  std::size_t lost_ = 0;
  std::string failure_;
  bool behind_ = false;
  BacklogChanged backlogChanged_;
  EventSource writable_;  // on only while lines wait
};

}  // namespace quenlarch::notification_host
