// notification-host deliver and serve with --show desktop against real desktop parts: a private
// session bus, dunst as the notification server on a virtual display, and the launcher signal as
// docks receive it. Also the host's fallbacks when there is no bus or no notification server.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/support/private_desktop.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace quenlarch {
namespace {

using nlohmann::json;
using testing::BusObserver;
using testing::HistoryEntry;
using Update = BusObserver::LauncherUpdate;

constexpr const char* kAppUri = "application://com.quenlarch.app.desktop";

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = testing::missingProgram({"dbus-daemon"})) {
      GTEST_SKIP() << missing.value() << " is not installed";
    }
    app_ = temp_ / "Desktop.app";
    ASSERT_EQ(badgeApp({"install", "--app", app_}).exitCode, 0);
  }

  std::vector<std::string> env(const std::string& busAddress) const {
    // The person reads English, whatever the machine running the test is set to.
    return {"QUENLARCH_KEYCHAIN=" + temp_ / "keychain.sqlite",
            "BADGE_SERVICE_EXECUTABLE=" BADGE_SERVICE_PATH,
            "DBUS_SESSION_BUS_ADDRESS=" + busAddress, "LANGUAGE=", "LC_ALL=en_GB.UTF-8"};
  }
  testing::CommandResult badgeApp(std::vector<std::string> args) const {
    args.insert(args.begin(), BADGE_APP_PATH);
    return testing::runCommand(args, "", env(""));
  }
  testing::CommandResult deliver(const std::string& busAddress, const std::string& payload) const {
    return testing::runCommand({NOTIFICATION_HOST_PATH, "deliver", "--app", app_, "--show",
                                "desktop", "--time-limit", "10", "-"},
                               payload + "\n", env(busAddress));
  }

  // The push sent to a `serve --show desktop` of its own, which is stopped with SIGTERM (leaving
  // the bus) once the push is answered, and must end by itself, with status 0.
  testing::CommandResult serveAndSend(const std::string& busAddress,
                                      const std::string& payload) const {
    const std::string socket = temp_ / "host.sock";
    std::optional<testing::ChildProcess> service(
        std::in_place,
        std::vector<std::string>{NOTIFICATION_HOST_PATH, "serve", "--app", app_, "--socket", socket,
                                 "--show", "desktop", "--time-limit", "10", "--memory-limit",
                                 "4096"},
        env(busAddress));
    // Until the service listens, send fails before it sends anything, so trying again is safe.
    testing::CommandResult sent;
    for (int attempt = 0; attempt < 400 && sent.exitCode != 0; ++attempt) {
      if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
      sent = testing::runCommand({NOTIFICATION_HOST_PATH, "send", "--socket", socket, "-"},
                                 payload + "\n", env(busAddress));
    }
    EXPECT_EQ(service->terminate(), 0) << "serve did not stop on SIGTERM";
    return sent;
  }

  testing::TempDir temp_{"desktop"};
  std::string app_;
};

TEST_F(DesktopTest, PushesReachTheNotificationServerAndTheLauncher) {
  if (auto missing =
          testing::missingProgram({"Xvfb", "dunst", "dunstctl", "busctl", "dbus-send"})) {
    GTEST_SKIP() << missing.value() << " is not installed";
  }
  testing::PrivateBus bus(temp_.path());
  ASSERT_TRUE(bus.ready());
  testing::VirtualDisplay display;
  ASSERT_FALSE(display.display().empty()) << "Xvfb did not start";
  BusObserver observer(bus.address());
  ASSERT_TRUE(observer.connected());
  testing::NotificationServer dunst(temp_.path(), display.display(), bus.address(), observer);
  ASSERT_TRUE(dunst.ready()) << "dunst did not take org.freedesktop.Notifications";

  struct Row {
    const char* name;
    bool served;           // through serve and send rather than deliver
    std::string setCount;  // badge-app set-count before the push, when not empty
    std::string payload;   // one push per line, all in one run
    std::optional<HistoryEntry> notification;
    std::vector<Update> launcher;
  };
  const std::string kCountedAna =
      R"({"aps":{"alert":{"loc-key":"Neue Nachricht","loc-args":["Ana"]},"mutable-content":1}})";
  const std::vector<Row> rows = {
      {"counted push, end to end",
       false,
       "",
       kCountedAna,
       HistoryEntry{"Quenlarch", "Quenlarch", "New message from Ana"},
       {{kAppUri, 1, true}}},
      {"counted push through the service, end to end",
       true,
       "0",
       kCountedAna,
       HistoryEntry{"Quenlarch", "Quenlarch", "New message from Ana"},
       {{kAppUri, 1, true}}},
      {"title, subtitle and body; no badge leaves the launcher alone",
       false,
       "",
       R"({"aps":{"alert":{"title":"Ana","subtitle":"Lunch","body":"Pizza & <salad>?"}}})",
       HistoryEntry{"Quenlarch", "Ana", "Lunch\nPizza & <salad>?"},
       {}},
      {"badge only: no notification, and the payload's count, as no extension runs",
       false,
       "7",
       R"({"aps":{"badge":99}})",
       std::nullopt,
       {{kAppUri, 99, true}}},
      {"a badge of 0 hides the count",
       false,
       "0",
       R"({"aps":{"alert":"Sync done","badge":3,"mutable-content":1}})",
       HistoryEntry{"Quenlarch", "Quenlarch", "Sync done"},
       {{kAppUri, 0, false}}},
      {"a later push with the same collapse id replaces the earlier notification",
       false,
       "",
       R"({"headers":{"apns-collapse-id":"score"},"payload":{"aps":{"alert":"1:0"}}})"
       "\n"
       R"({"headers":{"apns-collapse-id":"score"},"payload":{"aps":{"alert":"2:0"}}})",
       HistoryEntry{"Quenlarch", "Quenlarch", "2:0"},
       {}},
      {"a background push and a voip push show nothing",
       false,
       "",
       R"({"aps":{"content-available":1}})"
       "\n"
       R"({"headers":{"apns-push-type":"voip"},"payload":{"aps":{"alert":"call","badge":5}}})",
       std::nullopt,
       {}},
  };
  std::vector<HistoryEntry> expectedHistory;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.setCount.empty()) {
      ASSERT_EQ(badgeApp({"set-count", row.setCount, "--app", app_}).exitCode, 0);
    }
    testing::CommandResult host =
        row.served ? serveAndSend(bus.address(), row.payload) : deliver(bus.address(), row.payload);
    EXPECT_EQ(host.exitCode, 0) << host.err;
    EXPECT_EQ(host.err, "");
    EXPECT_EQ(
        testing::jsonLines(host.out).size(),
        1u + static_cast<std::size_t>(std::count(row.payload.begin(), row.payload.end(), '\n')));
    ASSERT_TRUE(observer.waitForClientToLeave());
    EXPECT_EQ(observer.takeLauncherUpdates(), row.launcher);
    if (row.notification) expectedHistory.push_back(*row.notification);
  }
  std::optional<std::vector<HistoryEntry>> history = dunst.closeAllAndReadHistory();
  ASSERT_TRUE(history.has_value());
  EXPECT_EQ(*history, expectedHistory);
}

TEST_F(DesktopTest, WithoutBusOrServerOneLineOnStderrAndTheJsonGoesOn) {
  testing::PrivateBus bus(temp_.path());  // a bus on which nobody serves notifications
  ASSERT_TRUE(bus.ready());
  BusObserver observer(bus.address());
  ASSERT_TRUE(observer.connected());
  struct Row {
    std::string address;
    const char* diagnostic;  // of deliver; none: through serve (whose stderr is not read)
    std::vector<Update> launcher;
    bool paused = false;  // the bus stops reading: nothing gets through, nothing waits for it
  };
  const std::vector<Row> rows = {
      {"unix:path=" + temp_ / "no-bus-here", "notification-host: no session bus", {}},
      {bus.address(),
       "notification-host: no notification server on the session bus",
       {{kAppUri, 1, true}, {kAppUri, 2, true}}},
      {bus.address(), "notification-host: stopped waiting for the desktop", {}, true},
      {bus.address(), nullptr, {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.address + (row.paused ? " paused" : ""));
    ASSERT_EQ(badgeApp({"set-count", "0", "--app", app_}).exitCode, 0);
    const std::string counted =
        R"({"aps":{"alert":{"loc-key":"Verpasster Anruf","loc-args":["Ben"]},"mutable-content":1}})";
    bus.pause(row.paused);
    testing::CommandResult host = row.diagnostic
                                      ? deliver(row.address, counted + "\n" + counted)
                                      : serveAndSend(row.address, counted + "\n" + counted);
    bus.pause(false);
    EXPECT_EQ(host.exitCode, 0);
    EXPECT_EQ(host.err.rfind(row.diagnostic ? row.diagnostic : "", 0), 0u) << host.err;
    EXPECT_EQ(std::count(host.err.begin(), host.err.end(), '\n'), row.diagnostic ? 1 : 0)
        << host.err;
    std::vector<json> lines = testing::jsonLines(host.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1]["alert"]["body"], "Missed call from Ben");
    EXPECT_EQ(lines[1]["badge"], 2);
    if (row.address == bus.address() && !row.paused) {
      ASSERT_TRUE(observer.waitForClientToLeave());
    }
    EXPECT_EQ(observer.takeLauncherUpdates(), row.launcher);
  }
}

}  // namespace
}  // namespace quenlarch
