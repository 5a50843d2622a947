// StoreAndForward: the expiration is a date on the system clock, the timer runs on the loop's
// clock; the date is turned into a wait once, when the push is kept.
#include "tools/notification_host/service/store_and_forward.h"

#include <algorithm>
#include <utility>

namespace quenlarch::notification_host {

Expected<std::unique_ptr<StoreAndForward>> StoreAndForward::create(sd_event* loop, Clock& clock,
                                                                   Dropped dropped,
                                                                   EpochNow epochNow) {
  if (!epochNow) {
    epochNow = [] {
      return std::chrono::duration_cast<std::chrono::seconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
  }
  std::unique_ptr<StoreAndForward> store(
      new StoreAndForward(std::move(dropped), std::move(epochNow), clock));
  StoreAndForward* raw = store.get();
  auto timer = EventSource::timer(
      loop, [raw] { raw->dropKeptNow(raw->keptUntilWhy_); }, "stored push discard", clock);
  if (!timer) return unexpected(timer.error());
  store->discardTimer_ = std::move(*timer);
  return store;
}

std::optional<IncomingPush> StoreAndForward::comeBack() {
  away_ = false;
  discardTimer_.disarm();
  return std::exchange(kept_, std::nullopt);
}

void StoreAndForward::keep(IncomingPush push) {
  const std::optional<std::int64_t> expiration = push.headers.expiration;
  if (expiration && *expiration == 0) return dropped_(push, kNotStored);
  // Without the header the service stores the push as long as it keeps any.
  std::chrono::seconds wait = kLongestKept;
  std::string_view why = kAwayTooLong;
  if (expiration) {
    const std::int64_t left = *expiration - epochNow_();
    if (left <= 0) return dropped_(push, kExpired);
    if (std::chrono::seconds(left) < wait) {
      wait = std::chrono::seconds(left);
      why = kExpired;
    }
  }
  if (kept_) dropKeptNow(kReplaced);
  kept_ = std::move(push);
  keptUntilWhy_ = why;
  discardTimer_.armAt(clock_.now() + wait);
}

void StoreAndForward::dropKept(std::string_view why) {
  if (kept_) dropKeptNow(why);
}

void StoreAndForward::dropKeptNow(std::string_view why) {
  discardTimer_.disarm();
  if (!kept_) return;
  IncomingPush push = std::move(*kept_);
  kept_.reset();
  dropped_(push, why);
}

}  // namespace quenlarch::notification_host
