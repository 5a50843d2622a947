// Engines that share a bound on extension processes: a fleet's devices each have an engine and an
// extension of their own, and at most `limit` of those processes are alive at once (starting,
// running, or on their way out until reaped). An engine takes a slot before it starts its process
// and gives it back once the process is reaped. When none is free the engine waits in order, and
// the least recently used engine with nothing to do is asked to stop its process; when every
// holder is busy, the waiter gets the first slot given back.
//
// Runs on the engines' loop thread. Calls into an engine only through wake-ups that act on the
// engine's next turn (HostEngine::slotFreed, HostEngine::stopWarmProcess), so no engine is changed
// from inside its own pump.
#pragma once

#include <cstddef>
#include <deque>
#include <set>

#include "tools/notification_host/engine/clock.h"

namespace quenlarch::notification_host {

// What the slots need of an engine (HostEngine; a fake in the tests).
class WarmEngine {
 public:
  virtual ~WarmEngine() = default;
  virtual bool busy() const = 0;
  // When a push last came.
  virtual Clock::time_point lastActive() const = 0;
  // A slot is kept for this engine; it starts its process on its next turn.
  virtual void slotFreed() = 0;
  // Stop the process once nothing waits or is in flight, and give the slot back when it is reaped.
  virtual void stopWarmProcess() = 0;
};

class WarmSlots {
 public:
  explicit WarmSlots(std::size_t limit) : limit_(limit == 0 ? 1 : limit) {}
  WarmSlots(const WarmSlots&) = delete;
  WarmSlots& operator=(const WarmSlots&) = delete;

  // `engine` wants to start its process: true when it holds a slot now; false when it waits, and
  // is woken (slotFreed) once a slot is kept for it.
  bool acquire(WarmEngine& engine);
  // `engine` has no process alive and holds no slot, nor one kept for it, any more.
  void release(WarmEngine& engine);
  // `engine`, which holds a slot, has nothing waiting or in flight.
  void idle(WarmEngine& engine);

  // Processes alive or about to start.
  std::size_t warm() const { return holders_.size() + kept_.size(); }
  std::size_t limit() const { return limit_; }
  std::size_t waiting() const { return waiters_.size(); }

 private:
  // Asks idle holders to stop until every waiter has one on its way out (or none is idle).
  void askIdleToStop();

  const std::size_t limit_;
  std::set<WarmEngine*> holders_;
  std::set<WarmEngine*> kept_;   // woken, and the slot kept for them until they start
  std::set<WarmEngine*> asked_;  // holders asked to stop their process
  std::deque<WarmEngine*> waiters_;
};

}  // namespace quenlarch::notification_host
