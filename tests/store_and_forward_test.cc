// The store-and-forward of an away device, on a real loop with a clock the test moves: what is
// kept, what is dropped and why, and what the device gets when it comes back.
#include "tools/notification_host/service/store_and_forward.h"

#include <gtest/gtest.h>
#include <systemd/sd-event.h>

#include <optional>
#include <string>
#include <vector>

namespace quenlarch::notification_host {
namespace {

using namespace std::chrono_literals;
using Store = StoreAndForward;

// One step of a case: a push arrives (with its expiration, seconds from the start), time passes,
// or the device leaves or comes back.
struct Step {
  enum Kind { kPush, kWait, kAway, kBack, kStop } kind;
  std::string id = "";
  std::optional<std::int64_t> expiresIn = std::nullopt;  // kPush: seconds from the start; 0 is 0
  std::chrono::seconds wait = 0s;                        // kWait
};
Step push(std::string id, std::optional<std::int64_t> expiresIn = std::nullopt) {
  return {Step::kPush, std::move(id), expiresIn};
}
Step wait(std::chrono::seconds by) { return {Step::kWait, "", std::nullopt, by}; }
const Step kAway{Step::kAway};
const Step kBack{Step::kBack};
const Step kStop{Step::kStop};

TEST(StoreAndForwardTest, KeepsTheNewestPushUntilItsDateAndHandsItOnWhenTheDeviceIsBack) {
  constexpr std::int64_t kStart = 1'800'000'000;
  struct Case {
    const char* label;
    std::vector<Step> steps;
    // In order: "delivered ID" (handed back by comeBack) or "dropped ID: WHY".
    std::vector<std::string> outcomes;
  };
  const auto dropped = [](const std::string& id, std::string_view why) {
    return "dropped " + id + ": " + std::string(why);
  };
  const std::vector<Case> cases = {
      {"kept while away, delivered once back",
       {kAway, push("a", kStart + 60), kBack},
       {"delivered a"}},
      {"a newer push discards the one kept",
       {kAway, push("a", kStart + 60), push("b", kStart + 60), push("c"), kBack},
       {dropped("a", Store::kReplaced), dropped("b", Store::kReplaced), "delivered c"}},
      {"expiration 0 is never stored, and leaves the one kept alone",
       {kAway, push("a"), push("b", 0), kBack},
       {dropped("b", Store::kNotStored), "delivered a"}},
      {"a date that passes while away drops the push",
       {kAway, push("a", kStart + 60), wait(59s), wait(2s), kBack},
       {dropped("a", Store::kExpired)}},
      {"a date already past is dropped on arrival",
       {kAway, push("a", kStart - 1), kBack},
       {dropped("a", Store::kExpired)}},
      {"no date: kept 30 days at most",
       {kAway, push("a"), wait(24h * 30), kBack},
       {dropped("a", Store::kAwayTooLong)}},
      {"a far date: kept 30 days at most",
       {kAway, push("a", kStart + 24 * 3600 * 365), wait(24h * 30 - 1s), kBack},
       {"delivered a"}},
      {"back before the date: the timer no longer drops it",
       {kAway, push("a", kStart + 60), kBack, wait(120s)},
       {"delivered a"}},
      {"away again: a new stay keeps only what comes then",
       {kAway, push("a"), kBack, kAway, push("b"), kBack},
       {"delivered a", "delivered b"}},
      {"the service stops while a push is kept",
       {kAway, push("a"), kStop},
       {dropped("a", Store::kStopped)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop);
    ManualClock clock;
    std::int64_t epoch = kStart;
    std::vector<std::string> outcomes;
    auto store = Store::create(
        loop->get(), clock,
        [&](const IncomingPush& gone, std::string_view why) {
          outcomes.push_back("dropped " + gone.name + ": " + std::string(why));
        },
        [&epoch] { return epoch; });
    ASSERT_TRUE(store);
    const auto settle = [&] {
      while (sd_event_run(loop->get(), 0) > 0) {
      }
    };
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case Step::kPush: {
          IncomingPush incoming{step.id, nullptr};
          incoming.headers.apnsId = step.id;
          incoming.headers.expiration = step.expiresIn;
          ASSERT_TRUE((*store)->away()) << "pushes reach the store only while the device is away";
          (*store)->keep(std::move(incoming));
          break;
        }
        case Step::kWait:
          epoch += step.wait.count();
          clock.advance(step.wait);
          break;
        case Step::kAway:
          (*store)->goAway();
          break;
        case Step::kBack:
          if (std::optional<IncomingPush> kept = (*store)->comeBack()) {
            outcomes.push_back("delivered " + kept->name);
          }
          EXPECT_EQ((*store)->kept(), nullptr);
          break;
        case Step::kStop:
          (*store)->dropKept();
          break;
      }
      settle();
    }
    EXPECT_EQ(outcomes, c.outcomes);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
