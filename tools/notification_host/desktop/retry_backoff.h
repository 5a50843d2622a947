// When to try a failing peer again: not before `first` after a failure, the wait doubling with each
// further failure up to `last`; a success starts over. Times are the caller's clock in microseconds
// (the desktop presenter uses its event loop's); the next attempt checks allows(), and a caller
// with work held back wakes at retryAt().
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quenlarch::notification_host {

class RetryBackoff {
 public:
  RetryBackoff(std::uint64_t first, std::uint64_t last) : first_(first), last_(last) {}

  bool allows(std::uint64_t now) const { return now >= retryAt_; }
  // When the wait ends (0: there is none).
  std::uint64_t retryAt() const { return retryAt_; }

  // Records a failure seen at `now`; true when it starts a failing spell. A failure seen while the
  // wait runs (the answer to an attempt made before it began) does not lengthen it.
  bool failed(std::uint64_t now) {
    const bool starts = !std::exchange(failing_, true);
    if (now < retryAt_) return starts;
    delay_ = starts ? first_ : std::max(first_, std::min(last_, delay_ * 2));
    retryAt_ = now + delay_;
    return starts;
  }

  // Ends the wait early (the peer came back) without ending the failing spell: the next failure
  // waits `first` again, and the next success still ends the spell.
  void startOver() {
    retryAt_ = 0;
    delay_ = 0;
  }

  // Records a success; true when it ends a failing spell.
  bool succeeded() {
    retryAt_ = 0;
    delay_ = 0;
    return std::exchange(failing_, false);
  }

 private:
  std::uint64_t first_;
  std::uint64_t last_;
  std::uint64_t delay_ = 0;
  std::uint64_t retryAt_ = 0;
  bool failing_ = false;
};

}  // namespace quenlarch::notification_host
