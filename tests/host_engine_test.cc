// HostEngine in this process, on a real event loop, against real extension processes (shell
// scripts and scripted-extension): which line from the extension answers a push and what is noted,
// that every push is answered by its arrival + time limit + grace however many wait (on a moved
// clock: nothing waits for a real deadline), and what becomes of pushes when the extension cannot
// be started.
#include "tools/notification_host/engine/host_engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "tests/support/temp_dir.h"

namespace quenlarch::notification_host {
namespace {

namespace fs = std::filesystem;
namespace protocol = host_protocol;
using namespace std::chrono_literals;

// An engine on a loop of its own and a clock the test moves; notes are collected instead of
// printed.
class EngineRun {
 public:
  explicit EngineRun(EngineOptions options) {
    auto loop = EventLoop::create();
    EXPECT_TRUE(loop.has_value());
    loop_.emplace(std::move(*loop));
    options.diagnostics = [this](std::string_view note) { notes.emplace_back(note); };
    options.clock = &clock;
    auto engine = HostEngine::create(loop_->get(), std::move(options));
    EXPECT_TRUE(engine.has_value());
    engine_ = std::move(*engine);
    // A test that waits for something that never comes fails instead of hanging (real time).
    auto guard = EventSource::timer(
        loop_->get(), [this] { gaveUp_ = true; }, "test guard");
    guard_ = std::move(*guard);
    guard_.armAt(steadyClock().now() + 60s);
  }

  // Submits one push per badge, all arriving now (the last `lastEarlierBy` sooner), without
  // waiting for them.
  void submit(const std::vector<std::int64_t>& badges,
              std::chrono::milliseconds lastEarlierBy = 0ms) {
    shown_.assign(badges.size(), std::nullopt);
    for (std::size_t i = 0; i < badges.size(); ++i) {
      auto content = std::make_shared<const PushContent>(PlistValue(), badges[i], PlistValue());
      const auto arrival = clock.now() - (i + 1 == badges.size() ? lastEarlierBy : 0ms);
      engine_->submit(content, arrival, [this, i](Shown result) {
        EXPECT_FALSE(shown_[i].has_value()) << "push " << i << " shown twice";
        shown_[i] = std::move(result);
      });
    }
  }
  std::size_t shownCount() const {
    return static_cast<std::size_t>(
        std::count_if(shown_.begin(), shown_.end(), [](const auto& s) { return s.has_value(); }));
  }
  // Waits for every push submitted; returns what was shown, in submit order.
  std::vector<Shown> shown() {
    runUntil([&] { return shownCount() == shown_.size(); });
    std::vector<Shown> result;
    for (auto& s : shown_) result.push_back(s.value_or(Shown{}));
    return result;
  }
  std::vector<Shown> push(const std::vector<std::int64_t>& badges) {
    submit(badges);
    return shown();
  }

  template <typename Condition>
  void runUntil(Condition condition) {
    while (!condition() && !gaveUp_ && loop_->runOnce()) {
    }
    EXPECT_FALSE(gaveUp_) << "gave up waiting";
  }
  // Runs what is ready now, waiting for nothing.
  void settle() {
    while (sd_event_run(loop_->get(), 0) > 0) {
    }
  }

  void stop() {
    bool stopped = false;
    engine_->stop([&stopped] { stopped = true; });
    runUntil([&] { return stopped; });
  }

  HostEngine& engine() { return *engine_; }
  EventLoop& loop() { return *loop_; }
  std::vector<std::string> notes;
  ManualClock clock;

 private:
  std::vector<std::optional<Shown>> shown_;
  std::optional<EventLoop> loop_;
  std::unique_ptr<HostEngine> engine_;
  EventSource guard_;
  bool gaveUp_ = false;
};

std::string deliverLine(const std::string& id, std::int64_t badge) {
  return protocol::encode(protocol::Deliver{
      id, std::make_shared<const PushContent>(PlistValue(), badge, PlistValue())});
}

// The extension answers request "1" (the first of every engine) with one line of the case's
// choosing, then with a deliver of badge 9: a line that is no answer leaves the push to that one.
TEST(HostEngineTest, OnlyAnAnswerToARequestInFlightIsShownAndOnlyOnce) {
  testing::TempDir dir("host-engine");
  const std::string script = dir / "extension";
  std::ofstream(script) << "#!/bin/sh\necho '{\"type\":\"ready\"}'\nread request\ncat \"$0.line\"\n"
                        << "echo '" << deliverLine("1", 9)
                        << "'\nwhile read line; do :; done\n";  // output stays open till the end
  fs::permissions(script, fs::perms::owner_all);
  const std::string terminatorIgnored =
      "ignoring the extension's deliver for request 1, which is not in flight";
  struct AnswerCase {
    std::string label;
    std::string line;
    std::int64_t shownBadge;
    bool byExtension;
    std::vector<std::string> notes;  // each expected once, in this order, and nothing else
  };
  const std::vector<AnswerCase> cases = {
      {"deliver", deliverLine("1", 7), 7, true, {terminatorIgnored}},
      {"release", protocol::encode(protocol::Released{"1"}), 1, false, {terminatorIgnored}},
      {"deliver for another request",
       deliverLine("4", 7),
       9,
       true,
       {"ignoring the extension's deliver for request 4, which is not in flight"}},
      {"release of another request",
       protocol::encode(protocol::Released{"6"}),
       9,
       true,
       {"ignoring the extension's release of request 6, which is not in flight"}},
      {"id with a newline",
       protocol::encode(protocol::Released{"1\nx"}),
       9,
       true,
       {"release of request 1\nx, which"}},
      {"ready again", protocol::encode(protocol::Ready{}), 9, true, {}},
      {"blank", "  ", 9, true, {}},
      {"error report",
       protocol::encode(protocol::Error{"disk on fire"}),
       9,
       true,
       {"the extension reports an error: disk on fire"}},
      {"no JSON", "hello", 9, true, {"ignoring a line from the extension that is no message"}},
      {"a host's message",
       protocol::encode(protocol::TimeWillExpire{}),
       9,
       true,
       {"ignoring a message an extension does not send"}},
      // The JSON parser stops at a NUL byte; what comes before it must not count as a deliver.
      {"deliver, a NUL byte and junk",
       deliverLine("1", 7) + std::string(1, '\0') + "junk",
       9,
       true,
       {"no message (not JSON)"}},
      {"over-long line",
       std::string(protocol::kMaxLineBytes + 1, 'x'),
       9,
       true,
       {"ignoring an over-long line from the extension"}},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::ofstream(script + ".line", std::ios::binary | std::ios::trunc) << c.line << '\n';
    EngineOptions options;
    options.launch.executable = script;
    EngineRun run(options);
    std::vector<Shown> shown = run.push({1});
    run.runUntil([&] { return run.notes.size() >= c.notes.size(); });
    ASSERT_EQ(shown.size(), 1u);
    ASSERT_NE(shown[0].content, nullptr);
    EXPECT_EQ(shown[0].content->badge(), c.shownBadge);
    EXPECT_EQ(shown[0].byExtension, c.byExtension);
    run.stop();
    ASSERT_EQ(run.notes.size(), c.notes.size()) << ::testing::PrintToString(run.notes);
    for (std::size_t i = 0; i < c.notes.size(); ++i) {
      EXPECT_THAT(run.notes[i], ::testing::HasSubstr(c.notes[i]));
    }
  }
}

// Deadlines on the moved clock, not a moment early: pushes that arrive together behind a hung
// extension are all shown as received at arrival + time limit + grace, those still waiting for a
// slot included, and the process is given up on once (a limit that started only when a push
// reached the extension would show them one limit after another, each with a process of its
// own); an extension that never says it is ready is given up on at the same moment.
TEST(HostEngineTest, EveryPushIsShownByItsArrivalPlusLimitAndGraceQueuedOrNot) {
  testing::TempDir dir("host-engine");
  const std::string log = dir / "starts.log";
  const std::string silent = dir / "silent";
  std::ofstream(silent) << "#!/bin/sh\nexec cat >/dev/null\n";
  fs::permissions(silent, fs::perms::owner_all);
  ::setenv("SCRIPTED_EXTENSION_MODE", "hang", 1);
  ::setenv("SCRIPTED_EXTENSION_LOG", log.c_str(), 1);
  struct DeadlineCase {
    std::string label;
    std::string executable;
    unsigned parallel;
    unsigned handedOver;  // requests in the process before time moves
    std::string note;
    // The last push submitted arrived this much sooner, so its deadline comes first although
    // it waits at the back of the queue.
    std::chrono::milliseconds lastEarlierBy = 0ms;
  };
  const std::vector<DeadlineCase> cases = {
      {"hung, one at a time", SCRIPTED_EXTENSION_PATH, 1, 1, "4 pushes waited past"},
      {"hung, three at a time", SCRIPTED_EXTENSION_PATH, 3, 3, "2 pushes waited past"},
      {"never ready", silent, 1, 0, "did not report ready in time"},
      {"the last queued arrived first", SCRIPTED_EXTENSION_PATH, 1, 1, "1 push waited past", 100ms},
  };
  for (const DeadlineCase& c : cases) {
    SCOPED_TRACE(c.label);
    EngineOptions options;
    options.launch.executable = c.executable;
    options.timeLimit = 200ms;
    options.grace = 100ms;
    options.parallel = c.parallel;
    EngineRun run(options);
    run.submit({1, 2, 3, 4, 5}, c.lastEarlierBy);
    run.runUntil([&] {
      const EngineStatus status = run.engine().status();
      return status.extensionPid != 0 && status.requestsInExtension == c.handedOver;
    });
    if (c.lastEarlierBy > 0ms) {
      run.clock.advance(300ms - c.lastEarlierBy);
      run.runUntil([&] { return run.shownCount() == 1; });
      run.clock.advance(c.lastEarlierBy - 1ms);
    } else {
      run.clock.advance(299ms);
    }
    run.settle();
    EXPECT_EQ(run.shownCount(), c.lastEarlierBy > 0ms ? 1u : 0u);
    run.clock.advance(1ms);
    std::vector<Shown> shown = run.shown();
    for (std::size_t i = 0; i < shown.size(); ++i) {
      ASSERT_NE(shown[i].content, nullptr);
      EXPECT_FALSE(shown[i].byExtension);
      EXPECT_EQ(shown[i].content->badge(), static_cast<std::int64_t>(i + 1));
    }
    EXPECT_EQ(run.engine().status().extensionStarts, 1u);
    EXPECT_THAT(run.notes, ::testing::Contains(::testing::HasSubstr(c.note)));
    run.stop();
  }
  ::unsetenv("SCRIPTED_EXTENSION_MODE");
  ::unsetenv("SCRIPTED_EXTENSION_LOG");
}

// A one-shot run stops trying after the extension could not be started; a service tries again with
// the next push, since what failed (a descriptor or process limit) may pass.
TEST(HostEngineTest, AStartThatFailsShowsThePushesAsReceivedAndIsRetriedOnlyWhenAsked) {
  struct RetryCase {
    bool retry;
    std::size_t startNotes;
  };
  for (const RetryCase& c : {RetryCase{true, 2}, RetryCase{false, 1}}) {
    SCOPED_TRACE(c.retry);
    EngineOptions options;
    options.launch.executable = "/nonexistent/extension";
    options.retryFailedStart = c.retry;
    EngineRun run(options);
    for (std::int64_t badge : {4, 5}) {
      std::vector<Shown> shown = run.push({badge});
      ASSERT_NE(shown[0].content, nullptr);
      EXPECT_FALSE(shown[0].byExtension);
      EXPECT_EQ(shown[0].content->badge(), badge);
    }
    EXPECT_TRUE(run.engine().startFailed());
    EXPECT_EQ(run.notes.size(), c.startNotes) << ::testing::PrintToString(run.notes);
    EXPECT_THAT(run.notes, ::testing::Each(::testing::HasSubstr("cannot start")));
    run.stop();
  }
}

// Under a warm bound a slot is one process at every moment: an engine asked to stop its idle
// process (which then closes, and is reaped later) and given a push meanwhile waits until the old
// process is gone before it starts the next, however the loop orders the two.
TEST(HostEngineTest, UnderAWarmBoundTheNextProcessWaitsForTheRetiringOne) {
  const auto alive = [] {
    std::ifstream listed("/proc/self/task/" + std::to_string(::gettid()) + "/children");
    std::ptrdiff_t count = 0;
    for (std::string pid; listed >> pid;) ++count;
    return count;
  };
  ::setenv("SCRIPTED_EXTENSION_MODE", "echo", 1);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    // Children an earlier test left to be reaped in the background may still be listed.
    const std::ptrdiff_t before = alive();
    WarmSlots slots(1);
    EngineOptions options;
    options.launch.executable = SCRIPTED_EXTENSION_PATH;
    options.slots = &slots;
    EngineRun run(options);
    ASSERT_TRUE(run.push({1})[0].byExtension);
    run.engine().stopWarmProcess();
    run.settle();
    run.submit({2});
    std::ptrdiff_t most = 0;
    run.runUntil([&] {
      most = std::max(most, alive() - before);
      return run.shownCount() == 1;
    });
    EXPECT_LE(most, 1) << "two processes under one slot";
    EXPECT_LE(slots.warm(), 1u);
    run.stop();
  }
  ::unsetenv("SCRIPTED_EXTENSION_MODE");
}

}  // namespace
}  // namespace quenlarch::notification_host
