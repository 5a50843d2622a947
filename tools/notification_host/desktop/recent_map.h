// A map that keeps only its most recently written entries, so that what a long-running presenter
// remembers (collapse ids, the notifications it showed) stays bounded however many pushes pass.
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>
#include <utility>

namespace quenlarch::notification_host {

template <typename Key, typename Value>
class RecentMap {
 public:
  explicit RecentMap(std::size_t capacity) : capacity_(capacity) {}

  // Sets `key` to `value` as the most recent entry, forgetting the oldest beyond the capacity.
  void put(const Key& key, Value value) {
    erase(key);
    order_.emplace_front(key, std::move(value));
    index_.emplace(key, order_.begin());
    if (order_.size() > capacity_) {
      index_.erase(order_.back().first);
      order_.pop_back();
    }
  }

  // The value for `key`, or nullptr; valid until the map next changes.
  const Value* find(const Key& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &it->second->second;
  }

  void erase(const Key& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return;
    order_.erase(it->second);
    index_.erase(it);
  }

 private:
  using Entries = std::list<std::pair<Key, Value>>;
  std::size_t capacity_;
  Entries order_;  // most recent first
  std::unordered_map<Key, typename Entries::iterator> index_;
};

}  // namespace quenlarch::notification_host
