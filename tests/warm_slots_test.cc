// The bound on a fleet's extension processes, with fake engines for exact sequences: who starts at
// once, who waits, which idle holder is asked to stop (the least recently used, one per waiter),
// and who is woken when a slot comes back; never more alive than the limit.
#include "tools/notification_host/engine/warm_slots.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quenlarch::notification_host {
namespace {

using namespace std::chrono_literals;

class FakeEngine final : public WarmEngine {
 public:
  FakeEngine(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
  bool busy() const override { return busy_; }
  Clock::time_point lastActive() const override { return lastActive_; }
  void slotFreed() override { log_.push_back("woken " + name_); }
  void stopWarmProcess() override { log_.push_back("stop " + name_); }

  bool busy_ = false;
  Clock::time_point lastActive_;

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

// One step: "+A" acquire (expecting `started`), "-A" release, "idle A", "busy A", "free A"
// (no longer busy), "use A" (A's push is the newest).
struct Step {
  std::string what;
  bool started = false;  // for "+"
};

TEST(WarmSlotsTest, WaitersGetTheSlotsOfTheLeastRecentlyUsedIdleEngines) {
  struct Case {
    const char* label;
    std::size_t limit;
    std::vector<Step> steps;
    std::vector<std::string> log;  // what the engines were told, in order
    std::size_t warmAtEnd;
  };
  const std::vector<Case> cases = {
      {"under the limit every engine starts at once",
       2,
       {{"+A", true}, {"+B", true}, {"+A", true}},
       {},
       2},
      {"a waiter asks the least recently used idle holder to stop, and gets its slot",
       2,
       {{"use B"}, {"use A"}, {"+A", true}, {"+B", true}, {"+C", false}, {"-B"}, {"+C", true}},
       {"stop B", "woken C"},
       2},
      {"busy holders are not asked; the first to go idle is",
       2,
       {{"+A", true},
        {"+B", true},
        {"busy A"},
        {"busy B"},
        {"+C", false},
        {"free B"},
        {"idle B"},
        {"-B"},
        {"+C", true}},
       {"stop B", "woken C"},
       2},
      {"one stop per waiter, and waiters are woken in order",
       2,
       {{"+A", true}, {"+B", true}, {"use B"}, {"+C", false}, {"+D", false}, {"-B"}, {"-A"}},
       {"stop A", "stop B", "woken C", "woken D"},
       2},
      {"a waiter that goes away is not woken",
       1,
       {{"+A", true}, {"+B", false}, {"-B"}, {"-A"}},
       {"stop A"},
       0},
      {"a newcomer queues behind a waiter even when a slot is kept",
       1,
       {{"+A", true}, {"+B", false}, {"-A"}, {"+C", false}, {"+B", true}},
       {"stop A", "woken B"},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> log;
    std::map<std::string, FakeEngine> engines;
    Clock::time_point now{1h};
    const auto engine = [&](const std::string& name) -> FakeEngine& {
      auto [it, made] = engines.try_emplace(name, name, log);
      if (made) it->second.lastActive_ = now;
      return it->second;
    };
    WarmSlots slots(c.limit);
    for (const Step& step : c.steps) {
      const std::string& what = step.what;
      const std::size_t space = what.find(' ');
      if (what[0] == '+') {
        EXPECT_EQ(slots.acquire(engine(what.substr(1))), step.started) << what;
      } else if (what[0] == '-') {
        slots.release(engine(what.substr(1)));
      } else {
        FakeEngine& subject = engine(what.substr(space + 1));
        const std::string verb = what.substr(0, space);
        if (verb == "idle") slots.idle(subject);
        if (verb == "busy" || verb == "free") subject.busy_ = verb == "busy";
        if (verb == "use") subject.lastActive_ = now += 1s;
      }
      EXPECT_LE(slots.warm(), c.limit) << "after " << what;
    }
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(slots.warm(), c.warmAtEnd);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
