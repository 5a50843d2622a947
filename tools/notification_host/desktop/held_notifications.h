// The notifications that arrive while the notification server is being waited for: the newest
// ones, in the order they came, so that the person sees them once a server answers. Bounded, so a
// server that never comes back costs no more than `capacity` notifications.
#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>

#include "tools/notification_host/desktop/desktop_messages.h"

namespace quenlarch::notification_host {

class HeldNotifications {
 public:
  explicit HeldNotifications(std::size_t capacity) : capacity_(capacity) {}

  // Holds `notification` as the newest. One held with the same collapse id is replaced (it would
  // have been); beyond the capacity the oldest is dropped, and then the result is true.
  bool hold(desktop_bus::Outgoing notification) {
    if (notification.collapseId) {
      std::erase_if(held_, [&](const desktop_bus::Outgoing& earlier) {
        return earlier.collapseId == notification.collapseId;
      });
    }
    held_.push_back(std::move(notification));
    if (held_.size() <= capacity_) return false;
    held_.pop_front();
    return true;
  }

  // Everything held, oldest first; none is held afterwards.
  std::deque<desktop_bus::Outgoing> take() { return std::exchange(held_, {}); }

  bool empty() const { return held_.empty(); }
  std::size_t size() const { return held_.size(); }

 private:
  std::size_t capacity_;
  std::deque<desktop_bus::Outgoing> held_;
};

}  // namespace quenlarch::notification_host
