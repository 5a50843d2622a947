// CallPool: a queue under one lock, threads that wait on it, growth only when no thread is idle.
#include "platform/linux/call_pool.h"

#include <utility>

namespace quenlarch {

bool startPosixThread(pthread_t* thread, std::size_t stackBytes, void* (*body)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  const bool started = pthread_attr_setstacksize(&attr, stackBytes) == 0 &&
                       pthread_create(thread, &attr, body, arg) == 0;
  pthread_attr_destroy(&attr);
  return started;
}

CallPool::CallPool(Options options) : options_(options) {}

CallPool::~CallPool() {
  std::vector<pthread_t> threads;
  {
    MutexLock guard(mutex_);
    stopping_ = true;
    threads = threads_;
  }
  changed_.notifyAll();
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

bool CallPool::submit(std::function<void()> job) {
  {
    MutexLock guard(mutex_);
    // A thread is started only when the queued jobs already outnumber the idle threads.
    if (idle_ <= queue_.size() && threads_.size() < options_.maxThreads) {
      pthread_t thread;
      if (options_.startThread(&thread, options_.stackBytes, &CallPool::threadMain, this)) {
        threads_.push_back(thread);
      } else if (threads_.empty()) {
        return false;
      }
    }
    queue_.push_back(std::move(job));
  }
  changed_.notifyOne();
  return true;
}

void* CallPool::threadMain(void* pool) {
  static_cast<CallPool*>(pool)->serve();
  return nullptr;
}

void CallPool::serve() {
  while (true) {
    std::function<void()> job;
    {
      MutexLock guard(mutex_);
      ++idle_;
      while (queue_.empty() && !stopping_) changed_.wait(mutex_);
      --idle_;
      if (queue_.empty()) return;  // stopping, and nothing left to run
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace quenlarch
