// A mutex, its scoped holder and a condition variable that clang's thread-safety analysis
// understands (std::mutex carries no annotations in libstdc++). Thin wrappers over the standard
// ones; use them for every lock whose fields are marked GUARDED_BY.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace quenlarch {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Drops `mutex` while waiting and holds it again on return. Wakes spuriously: callers loop on
  // their condition.
  void wait(Mutex& mutex) REQUIRES(mutex) { condition_.wait(mutex); }
  // The same, waking by `deadline` at the latest: false once the deadline has passed (the
  // condition may still have come true meanwhile, so callers look at it either way).
  bool waitUntil(Mutex& mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    return condition_.wait_until(mutex, deadline) == std::cv_status::no_timeout;
  }
  void notifyOne() { condition_.notify_one(); }
  void notifyAll() { condition_.notify_all(); }

 private:
  std::condition_variable_any condition_;
};

}  // namespace quenlarch
