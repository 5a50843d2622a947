// The loop under the engine: sd-event's child source reaps every extension process, whether it
// ends by itself or is killed and left behind, and an sd-event error ends the loop with a message
// instead of letting a caller wait on it.
#include "tools/notification_host/engine/event_loop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/subprocess.h"
#include "tests/support/temp_dir.h"
#include "tools/notification_host/engine/extension_channel.h"

namespace quenlarch::notification_host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A loop of its own; a test that waits for something that never comes fails instead of hanging.
class LoopRun {
 public:
  LoopRun() : loop_(std::move(*EventLoop::create())) {
    guard_ = std::move(*EventSource::timer(
        loop_.get(), [this] { gaveUp_ = true; }, "test guard"));
    guard_.armAt(steadyClock().now() + 60s);
  }
  template <typename Condition>
  void runUntil(Condition condition) {
    while (!condition() && !gaveUp_ && loop_.runOnce()) {
    }
    EXPECT_FALSE(gaveUp_) << "gave up waiting";
  }
  EventLoop& loop() { return loop_; }

 private:
  EventLoop loop_;
  EventSource guard_;
  bool gaveUp_ = false;
};

bool reaped(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 &&
         errno == ECHILD;
}

// The loop's child source reaps every extension process: one that exits by itself once its end
// has been told, one killed while it runs or stands stopped without anyone waiting for it. None
// is left a zombie.
TEST(ExtensionChannelTest, EveryProcessIsReapedByTheLoopNeverWaitedFor) {
  testing::TempDir dir("extension-channel");
  struct ReapCase {
    std::string label;
    std::string script;
    bool kill;
    std::string ended;  // how its end is told; empty when killed
  };
  const std::vector<ReapCase> cases = {
      {"exits by itself", "exit 3", false, "exited with status 3"},
      {"closes its output and lives on", "exec >&-; exec sleep 1000", false,
       "was killed by signal 9"},
      {"killed while running", "exec sleep 1000", true, ""},
      {"killed while stopped", "kill -STOP $$; exec sleep 1000", true, ""},
  };
  for (const ReapCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string script = dir / "extension";
    std::ofstream(script, std::ios::trunc) << "#!/bin/sh\n" << c.script << "\n";
    fs::permissions(script, fs::perms::owner_all);
    LoopRun run;
    std::optional<std::string> ended;
    ExtensionChannel::Handlers handlers;
    handlers.line = [](std::string_view) {};
    handlers.oversized = [] {};
    handlers.ended = [&ended](const std::string& how) { ended = how; };
    auto channel =
        ExtensionChannel::start(run.loop().get(), ExtensionLaunch{script, std::nullopt}, handlers);
    ASSERT_TRUE(channel.has_value()) << channel.error();
    const pid_t pid = (*channel)->pid();
    if (c.kill) {
      (*channel)->kill();
    } else {
      run.runUntil([&] { return ended.has_value(); });
      EXPECT_EQ(ended.value_or(""), c.ended);
    }
    channel->reset();
    run.runUntil([&] { return reaped(pid); });
    EXPECT_TRUE(reaped(pid));
    EXPECT_EQ(ended.has_value(), !c.kill);
  }
}

// An sd-event error ends the loop with a message, and every later turn says so at once instead of
// waiting (or spinning) on a loop that cannot run.
TEST(EventLoopTest, AnSdEventErrorEndsTheLoopWithAMessage) {
  testing::TempDir dir("event-loop");
  const std::string script = dir / "extension";
  std::ofstream(script) << "#!/bin/sh\nexit 0\n";
  fs::permissions(script, fs::perms::owner_all);
  struct ErrorCase {
    std::string label;
    std::function<void(EventLoop& loop, std::vector<std::shared_ptr<void>>& keep)> provoke;
    std::string message;
  };
  const std::vector<ErrorCase> cases = {
      {"a watched child reaped behind the loop's back",
       [&script](EventLoop& loop, std::vector<std::shared_ptr<void>>& keep) {
         auto process = std::make_shared<EventSource>();
         std::string error;
         SubprocessOptions options;
         options.argv = {script};
         std::shared_ptr<Subprocess> child = Subprocess::start(options, &error);
         ASSERT_NE(child, nullptr) << error;
         *process = std::move(*EventSource::child(
             loop.get(), child->pid(), [](const siginfo_t&) {}, "test child"));
         child->disown();
         int status = 0;
         ::waitpid(child->pid(), &status, 0);
         keep = {process, child};
       },
       "the event loop failed: No child processes"},
      {"the loop run from inside its own handler",
       [](EventLoop& loop, std::vector<std::shared_ptr<void>>& keep) {
         auto inner = std::make_shared<EventSource>();
         *inner = std::move(*EventSource::deferred(
             loop.get(), [&loop] { loop.runOnce(); }, "test reentry"));
         inner->trigger();
         keep = {inner};
       },
       "the event loop failed: Device or resource busy"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop.has_value());
    std::vector<std::shared_ptr<void>> keep;
    c.provoke(*loop, keep);
    int turns = 0;
    while (loop->runOnce() && turns < 100) ++turns;
    ASSERT_TRUE(loop->failure().has_value());
    EXPECT_EQ(*loop->failure(), c.message);
    EXPECT_FALSE(loop->runOnce());
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
