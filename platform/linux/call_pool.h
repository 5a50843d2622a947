// A small pool of threads for the calls of the host connection: at most a fixed number of threads,
// started only when every existing one is busy, kept and reused afterwards, each with a modest
// stack. Jobs beyond what the threads can take wait in a queue, in order.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

#include "platform/mutex.h"

namespace quenlarch {

// Starts `body(arg)` on a new joinable thread with a stack of `stackBytes`; false when the system
// refuses a thread. A seam, so that tests can refuse threads.
using ThreadStarter = bool (*)(pthread_t* thread, std::size_t stackBytes, void* (*body)(void*),
                               void* arg);
bool startPosixThread(pthread_t* thread, std::size_t stackBytes, void* (*body)(void*), void* arg);

// Thread safety: `submit` may be called from any thread, including a pool thread.
class CallPool {
 public:
  struct Options {
    std::size_t maxThreads = 16;
    // Address space reserved per thread; only the pages a call touches become resident.
    std::size_t stackBytes = std::size_t{512} << 10;
    ThreadStarter startThread = &startPosixThread;
  };

  explicit CallPool(Options options);
  // Runs every job still queued, then joins the threads.
  ~CallPool();
  CallPool(const CallPool&) = delete;
  CallPool& operator=(const CallPool&) = delete;

  // Queues `job` for a pool thread, starting a thread first when none is idle and the cap allows.
  // False when the pool has no thread at all and none can be started: the job is not kept and will
  // never run, and the caller must answer for it. A job must not throw.
  bool submit(std::function<void()> job) EXCLUDES(mutex_);

 private:
  static void* threadMain(void* pool);
  void serve() EXCLUDES(mutex_);

  const Options options_;
  Mutex mutex_;
  CondVar changed_;
  std::deque<std::function<void()>> queue_ GUARDED_BY(mutex_);
  std::vector<pthread_t> threads_ GUARDED_BY(mutex_);
  std::size_t idle_ GUARDED_BY(mutex_) = 0;  // threads waiting for a job
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace quenlarch
