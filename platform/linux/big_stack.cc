// runOnBigStack through pthreads: std::thread cannot choose its stack size.
#include "platform/linux/big_stack.h"

#include <pthread.h>

namespace quenlarch {
namespace {

void* runWork(void* work) {
  (*static_cast<const std::function<void()>*>(work))();
  return nullptr;
}

}  // namespace

bool runOnBigStack(std::size_t stackBytes, const std::function<void()>& work) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_t thread;
  const bool started =
      pthread_attr_setstacksize(&attr, stackBytes) == 0 &&
      pthread_create(&thread, &attr, runWork, const_cast<std::function<void()>*>(&work)) == 0;
  pthread_attr_destroy(&attr);
  if (!started) return false;
  pthread_join(thread, nullptr);
  return true;
}

}  // namespace quenlarch
