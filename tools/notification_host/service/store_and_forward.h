// The push service's store-and-forward for a device that is away: while it is offline, a push
// taken for the app is kept instead of delivered, one per app (the newest; a new one discards the
// one kept), never one whose expiration is 0, and only until its expiration date (or the longest
// the service keeps any). When the device comes back, the kept push is handed on to be delivered.
// A device that is connected is not this class's business: every push reaches it at least once.
//
// Every push it takes ends exactly once: handed back by comeBack(), or told to `dropped` with why.
// Runs on the loop's thread; its timer reads the loop's clock, so a test moves time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/notification_host.h"

namespace quenlarch::notification_host {

class StoreAndForward {
 public:
  // The longest the service keeps a push for a device that stays away, whatever its expiration.
  static constexpr std::chrono::hours kLongestKept{24 * 30};

  // Why a push that was taken is never delivered; each ends one "dropped" line.
  static constexpr std::string_view kReplaced = "replaced while the device was away";
  static constexpr std::string_view kNotStored = "expiration 0 while the device was away";
  static constexpr std::string_view kExpired = "expired while the device was away";
  static constexpr std::string_view kAwayTooLong = "kept 30 days while the device was away";
  static constexpr std::string_view kStopped = "the service stopped while the device was away";

  using Dropped = std::function<void(const IncomingPush& push, std::string_view why)>;
  // Seconds since 1970 now; the system clock unless a test says otherwise.
  using EpochNow = std::function<std::int64_t()>;

  static Expected<std::unique_ptr<StoreAndForward>> create(sd_event* loop, Clock& clock,
                                                           Dropped dropped, EpochNow epochNow = {});
  StoreAndForward(const StoreAndForward&) = delete;
  StoreAndForward& operator=(const StoreAndForward&) = delete;

  bool away() const { return away_; }
  void goAway() { away_ = true; }
  // The device is connected again: the kept push, if any, is the caller's to deliver.
  std::optional<IncomingPush> comeBack();
  // While away: keeps `push` (or drops it at once when its expiration is 0 or has passed).
  void keep(IncomingPush push);
  // The kept push, if any.
  const IncomingPush* kept() const { return kept_ ? &*kept_ : nullptr; }
  // The service is stopping: the kept push can no longer be delivered.
  void dropKept(std::string_view why = kStopped);

 private:
  StoreAndForward(Dropped dropped, EpochNow epochNow, Clock& clock)
      : dropped_(std::move(dropped)), epochNow_(std::move(epochNow)), clock_(clock) {}
  void dropKeptNow(std::string_view why);

  Dropped dropped_;
  EpochNow epochNow_;
  Clock& clock_;
  bool away_ = false;
  std::optional<IncomingPush> kept_;
  std::string_view keptUntilWhy_;  // what the timer's drop says: expired, or kept too long
  EventSource discardTimer_;
};

}  // namespace quenlarch::notification_host
