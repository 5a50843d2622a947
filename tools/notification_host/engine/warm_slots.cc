// WarmSlots: a waiter is counted against the engines already asked to stop, so one idle process
// is stopped per waiter and no more.
#include "tools/notification_host/engine/warm_slots.h"

#include <algorithm>

namespace quenlarch::notification_host {

bool WarmSlots::acquire(WarmEngine& engine) {
  if (kept_.erase(&engine) > 0 || holders_.contains(&engine)) {
    holders_.insert(&engine);
    return true;
  }
  if (waiters_.empty() && warm() < limit_) {
    holders_.insert(&engine);
    return true;
  }
  if (std::find(waiters_.begin(), waiters_.end(), &engine) == waiters_.end()) {
    waiters_.push_back(&engine);
  }
  askIdleToStop();
  return false;
}

void WarmSlots::release(WarmEngine& engine) {
  holders_.erase(&engine);
  kept_.erase(&engine);
  asked_.erase(&engine);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), &engine), waiters_.end());
  while (!waiters_.empty() && warm() < limit_) {
    WarmEngine* next = waiters_.front();
    waiters_.pop_front();
    kept_.insert(next);
    next->slotFreed();
  }
}

void WarmSlots::idle(WarmEngine& engine) {
  if (holders_.contains(&engine)) askIdleToStop();
}

void WarmSlots::askIdleToStop() {
  while (waiters_.size() > asked_.size()) {
    WarmEngine* oldest = nullptr;
    for (WarmEngine* holder : holders_) {
      if (asked_.contains(holder) || holder->busy()) continue;
      if (oldest == nullptr || holder->lastActive() < oldest->lastActive()) oldest = holder;
    }
    if (oldest == nullptr) return;  // every holder is busy: the first to finish frees a slot
    asked_.insert(oldest);
    oldest->stopWarmProcess();
  }
}

}  // namespace quenlarch::notification_host
