// The desktop presenter on an sd-event loop against a private session bus: what a notification
// server receives (a recording fake server, and dunst for replacement), the opened event, and the
// bus faults the presenter must live through without blocking its loop or ending desktop output.
#include "tools/notification_host/desktop/desktop_presenter.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/private_desktop.h"
#include "tests/support/temp_dir.h"
#include "tools/notification_host/desktop/bus_text.h"
#include "tools/notification_host/desktop/desktop_notice.h"
#include "tools/notification_host/push/push_intake.h"

namespace quenlarch::notification_host {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// AddressSanitizer keeps freed memory resident (its quarantine), so its builds measure no memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMeasureMemory = false;
#elif defined(__has_feature)
constexpr bool kMeasureMemory = !__has_feature(address_sanitizer);
#else
constexpr bool kMeasureMemory = true;
#endif

std::size_t residentBytes() {
  std::size_t size = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Whether resident memory stayed within 16 MiB of `before`.
bool memoryBounded(std::size_t before) {
  return !kMeasureMemory || residentBytes() < before + (16 << 20);
}

DesktopNotice noticeFor(const std::string& payload, std::optional<std::string> collapseId = {}) {
  const auto content = acceptPush(payload, {})->content;
  DesktopNotice notice = desktopNotice(*content, renderAlert(content->userInfo(), {}));
  notice.collapseId = std::move(collapseId);
  return notice;
}

DesktopNotice textNotice(const std::string& body) {
  DesktopNotice notice;
  notice.alert.body = notice.apnsId = body;
  return notice;
}

// A private bus with a presenter for the app "Chat" on a loop of the test's own, what the presenter
// reports, and (when started) a fake notification server.
class Scene {
 public:
  Scene() {
    std::filesystem::create_directory(temp / "Chat.app");  // no Info.plist: named after it
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    sd_event_new(&loop);
  }
  ~Scene() {
    presenter.reset();
    bus.pause(false);
    sd_event_unref(loop);
  }
  DesktopPresenter& start(DesktopOptions options = {}) {
    return presenter.emplace(
        temp / "Chat.app", loop, [this](std::string_view line) { reports.emplace_back(line); },
        [this](const std::string& apnsId) { opened.push_back(apnsId); }, options);
  }
  testing::FakeNotificationServer& serve(const std::vector<std::string>& flags = {}) {
    server.reset();
    return server.emplace(bus.address(), flags);
  }
  // Runs the loop until `done` holds, for up to 10 s; true when it held.
  bool runUntil(const std::function<bool()>& done) {
    for (const auto deadline = Clock::now() + 10s; !done(); sd_event_run(loop, 100'000)) {
      if (Clock::now() >= deadline) return false;
    }
    return true;
  }
  bool flushed(std::chrono::microseconds within = 10s) {
    bool done = false;
    presenter->flush(within, [&] { done = true; });
    return runUntil([&] { return done; });
  }
  bool reported(std::string_view start) {
    return runUntil([&] {
      return std::any_of(reports.begin(), reports.end(),
                         [&](auto& r) { return r.starts_with(start); });
    });
  }
  // The Notify call the server received for `notice`, presented now.
  std::optional<json> shown(const DesktopNotice& notice) {
    presenter->present(notice);
    return flushed() ? server->nextNotify() : std::nullopt;
  }
  // The bodies of the notifications the server received next, until the one for "end" presented
  // once all before it is answered; none when it received nothing more.
  std::vector<std::string> shownUntilEnd() {
    std::vector<std::string> bodies;
    if (!flushed()) return bodies;
    presenter->present(textNotice("end"));
    if (!flushed()) return bodies;
    for (std::optional<json> call; (call = server->nextNotify()) && (*call)["body"] != "end";) {
      bodies.push_back((*call)["body"]);
    }
    return bodies;
  }

  testing::TempDir temp{"presenter"};
  testing::PrivateBus bus{temp.path()};
  std::optional<testing::FakeNotificationServer> server;
  std::optional<DesktopPresenter> presenter;
  std::vector<std::string> reports;
  std::vector<std::string> opened;
  sd_event* loop = nullptr;
};

class DesktopPresenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = testing::missingProgram({"dbus-daemon"})) GTEST_SKIP() << *missing;
  }
};

TEST_F(DesktopPresenterTest, NotificationsCarryTheirHintsAndCollapseIdsReplace) {
  Scene scene;
  ASSERT_TRUE(scene.serve({"--markup"}).ready());
  struct Row {
    std::string aps;
    std::optional<std::string> collapseId;
    json sent;          // what the server receives; null: no notification
    int replaces = -1;  // the row whose notification this one replaces
  };
  const auto sent = [](const char* summary, const char* body, int urgency, bool sound = false) {
    json hints = {{"desktop-entry", "Chat"}, {"urgency", urgency}, {"category", "im.received"}};
    if (sound) hints["sound-name"] = "message-new-instant";
    return json{{"app_name", "Chat"},
                {"summary", summary},
                {"body", body},
                {"actions", {"default", "Open"}},
                {"hints", hints}};
  };
  const std::vector<Row> rows = {
      {R"("alert":{"title":"Ana","body":"Pizza & <salad>?"})",
       {},
       sent("Ana", "Pizza &amp; &lt;salad&gt;?", 1)},
      {R"("alert":"p","interruption-level":"passive","sound":"x")", {}, sent("Chat", "p", 0, true)},
      {R"("alert":"t","interruption-level":"time-sensitive")", {}, sent("Chat", "t", 1)},
      {R"("alert":"c","interruption-level":"critical","sound":{})", {}, sent("Chat", "c", 2, true)},
      {R"("alert":"l","interruption-level":"loud","sound":"")", {}, sent("Chat", "l", 1)},
      {R"("alert":{"title":"\u0000","body":"n\uffff"})", {}, sent("\uFFFD", "n\uFFFD", 1)},
      {R"("badge":0)", {}, nullptr},
      {R"("content-available":1)", {}, nullptr},
      {R"("alert":"c1 one")", "c1", sent("Chat", "c1 one", 1)},
      {R"("alert":"c2 one")", "c2", sent("Chat", "c2 one", 1)},
      // Waits for the answer to "c1 one", and is replaced there by the next.
      {R"("alert":"c1 two")", "c1", nullptr},
      {R"("alert":"c1 three")", "c1", sent("Chat", "c1 three", 1), 8},
      {R"("alert":"c2 two")", "c2", sent("Chat", "c2 two", 1), 9},
  };
  scene.start();
  for (const Row& row : rows) {
    scene.presenter->present(noticeFor("{\"aps\":{" + row.aps + "}}", row.collapseId));
  }
  ASSERT_TRUE(scene.flushed());
  // All is answered by now, so one more notification marks the end of what was sent.
  scene.presenter->present(textNotice("end"));
  ASSERT_TRUE(scene.flushed());
  std::map<std::string, json> received;  // by body
  for (std::optional<json> call; (call = scene.server->nextNotify()) && (*call)["body"] != "end";) {
    received[(*call)["body"]] = *call;
  }
  std::size_t shown = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.aps);
    if (row.sent.is_null()) continue;
    ++shown;
    json call = received[row.sent["body"]];
    const int replaces = row.replaces;
    EXPECT_EQ(call["replaces_id"],
              replaces < 0 ? json(0) : received[rows[std::size_t(replaces)].sent["body"]]["id"]);
    for (const char* key : {"replaces_id", "id", "app_icon", "sender"}) call.erase(key);
    EXPECT_EQ(call, row.sent);
  }
  EXPECT_EQ(received.size(), shown);
  EXPECT_EQ(scene.reports, std::vector<std::string>{});
}

TEST_F(DesktopPresenterTest, OpeningANotificationReportsItsApnsIdOnce) {
  Scene scene;
  // Around each click the server also sends an unknown id, another action and the closing.
  ASSERT_TRUE(scene.serve({"--click"}).ready());
  scene.start().present(textNotice("A-1"));
  scene.presenter->present(textNotice("A-2"));
  ASSERT_TRUE(scene.runUntil([&] { return scene.opened.size() >= 2; }));
  ASSERT_TRUE(scene.flushed());
  EXPECT_EQ(scene.opened, (std::vector<std::string>{"A-1", "A-2"}));
  // The event names the push as every shown line does.
  EXPECT_EQ(openedEventLine("A-1").dump(), R"({"event":"opened","apnsId":"A-1"})");
}

TEST_F(DesktopPresenterTest, BusFaultsNeitherBlockTheLoopNorEndDesktopOutput) {
  struct Row {
    const char* name;
    std::function<void(Scene&)> run;   // the fault, and pushes until the row's last report
    std::vector<std::string> reports;  // the beginning of each line reported, in order
  };
  const DesktopOptions retryAtOnce{.callTimeout = 200ms, .firstRetry = 0us};
  // Only the server's name ending the wait can show what is held.
  const DesktopOptions holdThree{.maxHeld = 3, .firstRetry = 1h, .lastRetry = 1h};
  const auto withoutServer = [](Scene& scene, const DesktopOptions& options) {
    scene.start(options).present(textNotice("first"));
    ASSERT_TRUE(scene.reported("no notification server"));
  };
  const std::vector<Row> rows = {
      {"no session bus, then one",
       [&](Scene& scene) {
         ::setenv("DBUS_SESSION_BUS_ADDRESS", (scene.temp / "none").insert(0, "unix:path=").c_str(),
                  1);
         scene.start(retryAtOnce);
         ::setenv("DBUS_SESSION_BUS_ADDRESS", scene.bus.address().c_str(), 1);
         scene.serve();
         EXPECT_TRUE(scene.shown(textNotice("back")));
       },
       {"no session bus (No such file or directory)", "connected to the session bus"}},
      {"no notification server, then one",
       [&](Scene& scene) {
         scene.start(retryAtOnce).present(textNotice("lost"));
         ASSERT_TRUE(scene.reported("no notification server"));
         scene.serve();
         EXPECT_TRUE(scene.shown(textNotice("shown")));
       },
       {"no notification server on the session bus (org.freedesktop.DBus.Error.ServiceUnknown",
        "the notification server answers again"}},
      {"a server that never answers, then one that does",
       [&](Scene& scene) {
         scene.serve({"--silent"});
         scene.start(retryAtOnce);
         for (int i = 0; i < 200; ++i) scene.presenter->present(textNotice("waits"));
         ASSERT_TRUE(scene.reported("the notification server did not answer"));
         scene.serve();
         EXPECT_TRUE(scene.shown(textNotice("shown")));
       },
       {"64 notifications are waiting for the notification server",
        "the notification server did not answer within 200 ms (org.freedesktop.DBus.Error.NoReply",
        "the newest 32 notifications are held for the notification server",
        "the notification server answers again"}},
      {"a server that appears during the wait gets the newest held, in order",
       [&](Scene& scene) {
         withoutServer(scene, holdThree);
         for (const char* body : {"1", "2", "3", "4"}) scene.presenter->present(textNotice(body));
         scene.serve();
         ASSERT_TRUE(scene.reported("the notification server answers again"));
         EXPECT_EQ(scene.shownUntilEnd(), (std::vector<std::string>{"2", "3", "4"}));
       },
       {"no notification server on the session bus (org.freedesktop.DBus.Error.ServiceUnknown",
        "the newest 3 notifications are held for the notification server; older ones are dropped",
        "the notification server answers again; pushes are shown as notifications (2 held ones "
        "dropped meanwhile)"}},
      {"a collapsed push held during the wait replaces its predecessor",
       [&](Scene& scene) {
         withoutServer(scene, holdThree);
         scene.presenter->present(noticeFor(R"({"aps":{"alert":"u1"}})", "unread"));
         scene.presenter->present(textNotice("other"));
         scene.presenter->present(noticeFor(R"({"aps":{"alert":"u2"}})", "unread"));
         scene.serve();
         ASSERT_TRUE(scene.reported("the notification server answers again"));
         EXPECT_EQ(scene.shownUntilEnd(), (std::vector<std::string>{"first", "other", "u2"}));
       },
       {"no notification server on the session bus", "the notification server answers again"}},
      {"a server that leaves and comes back gets what came meanwhile",
       [&](Scene& scene) {
         testing::BusObserver observer(scene.bus.address());
         scene.serve();
         scene.start(holdThree);
         ASSERT_TRUE(scene.shown(textNotice("first")));
         scene.presenter->present(noticeFor(R"({"aps":{"badge":5}})"));
         scene.server.reset();
         // The bus tells of the name before the server's own leaving, and the presenter hears of
         // both before its flush's call is answered.
         ASSERT_TRUE(observer.waitForClientToLeave());
         ASSERT_TRUE(scene.flushed());
         scene.presenter->present(textNotice("meanwhile"));
         scene.serve();
         ASSERT_TRUE(scene.reported("the notification server answers again"));
         EXPECT_EQ(scene.shownUntilEnd(), std::vector<std::string>{"meanwhile"});
         // The launcher count went out again when the server came back.
         scene.presenter.reset();
         ASSERT_TRUE(observer.waitForClientToLeave());
         const testing::BusObserver::LauncherUpdate five{"application://Chat.desktop", 5, true};
         EXPECT_EQ(observer.takeLauncherUpdates(), (std::vector{five, five}));
       },
       {"no notification server on the session bus (its owner left)",
        "the notification server answers again"}},
      {"a server that never appears",
       [&](Scene& scene) {
         withoutServer(scene, {.firstRetry = 1h, .lastRetry = 1h});
         const std::size_t before = residentBytes();
         for (int i = 0; i < 50'000; ++i)
           scene.presenter->present(textNotice(std::to_string(i) + std::string(1024, 'x')));
         EXPECT_TRUE(memoryBounded(before));
         ASSERT_TRUE(scene.flushed());
       },
       {"no notification server on the session bus",
        "the newest 32 notifications are held for the notification server"}},
      {"text that is not valid UTF-8",
       [&](Scene& scene) {
         scene.serve();
         scene.start();
         std::optional<json> call = scene.shown(textNotice("caf\xC3 \xFF\xEF\xBF\xBE"));
         EXPECT_EQ(call.value_or(json())["body"], "caf\uFFFD \uFFFD\uFFFD");
       },
       {}},
      {"a bus that stops reading",
       [&](Scene& scene) {
         scene.serve();
         scene.start();
         ASSERT_TRUE(scene.shown(textNotice("first")));
         scene.bus.pause(true);
         const std::size_t before = residentBytes();
         for (int i = 0; i < 50'000; ++i)
           scene.presenter->present(noticeFor(R"({"aps":{"badge":1}})"));
         ASSERT_TRUE(scene.flushed(200ms));
         EXPECT_TRUE(memoryBounded(before));
       },
       {"the session bus does not read what is sent to it", "stopped waiting for the desktop"}},
      {"50,000 messages of 1 KiB sent to the presenter",
       [&](Scene& scene) {
         scene.serve();
         scene.start();
         const std::string presenter = scene.shown(textNotice("first")).value_or(json())["sender"];
         sd_bus* flood = nullptr;
         ASSERT_GE(sd_bus_open_user(&flood), 0);
         const std::size_t before = residentBytes();
         for (int i = 1; i <= 50'000; ++i) {
           sd_bus_message* m = nullptr;
           sd_bus_message_new_signal(flood, &m, "/flood", "com.quenlarch.Flood", "Message");
           sd_bus_message_set_destination(m, presenter.c_str());
           sd_bus_message_append(m, "s", std::string(1024, 'x').c_str());
           sd_bus_send(flood, m, nullptr);
           sd_bus_message_unref(m);
           if (i % 1000 == 0 && sd_bus_flush(flood) >= 0) {
             while (sd_event_run(scene.loop, 0) > 0) {
             }
           }
         }
         // The bus has taken every message once it answers; the presenter has read them all once
         // its own call to the bus is answered.
         sd_bus_call_method(flood, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "GetId", nullptr, nullptr, "");
         sd_bus_flush_close_unref(flood);
         ASSERT_TRUE(scene.flushed());
         EXPECT_TRUE(memoryBounded(before));
       },
       {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scene scene;
    ASSERT_TRUE(scene.bus.ready());
    row.run(scene);
    ASSERT_TRUE(scene.runUntil([&] { return scene.reports.size() >= row.reports.size(); }));
    ASSERT_EQ(scene.reports.size(), row.reports.size()) << ::testing::PrintToString(scene.reports);
    for (std::size_t i = 0; i < row.reports.size(); ++i) {
      EXPECT_TRUE(scene.reports[i].starts_with(row.reports[i])) << scene.reports[i];
    }
  }
}

TEST_F(DesktopPresenterTest, CollapsedPushesReplaceEachOtherOnARealServer) {
  if (auto missing = testing::missingProgram({"Xvfb", "dunst", "dunstctl", "busctl"})) {
    GTEST_SKIP() << *missing;
  }
  Scene scene;
  testing::VirtualDisplay display;
  testing::BusObserver observer(scene.bus.address());
  testing::NotificationServer dunst(scene.temp.path(), display.display(), scene.bus.address(),
                                    observer);
  ASSERT_TRUE(dunst.ready());
  scene.start();
  for (const char* body : {"1 new message", "2 new messages", "other"}) {
    DesktopNotice notice = textNotice(body);
    if (body[0] != 'o') notice.collapseId = "unread";
    scene.presenter->present(notice);
    ASSERT_TRUE(scene.flushed());
  }
  EXPECT_EQ(dunst.closeAllAndReadHistory(),
            (std::vector<testing::HistoryEntry>{{"Chat", "Chat", "2 new messages"},
                                                {"Chat", "Chat", "other"}}));
}

TEST(BusTextTest, ReplacesWhatTheBusRefusesAndKeepsTheRest) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"Grüße 👋 \uFFFD", "Grüße 👋 \uFFFD"},
      {std::string("a\0b", 3), "a\uFFFDb"},
      {"a\xFF"
       "b",
       "a\uFFFDb"},
      {"\xE2\x82", "\uFFFD"},                  // cut short: one replacement
      {"\xC0\xAF", "\uFFFD\uFFFD"},            // overlong
      {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xEF\xBF\xBE \xEF\xB7\x90 \xF4\x8F\xBF\xBF", "\uFFFD \uFFFD \uFFFD"},  // noncharacters
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(busText(text), expected) << text;
}

TEST(RetryBackoffTest, WaitsDoubleUpToTheLastAndSuccessStartsOver) {
  RetryBackoff backoff(1000, 4000);
  struct Step {
    char step;  // 'f' fails, 's' succeeds, 'o' starts over (the peer came back)
    std::uint64_t at;
    bool returns;  // failed: starts a spell; succeeded: ends one
    std::uint64_t allowedFrom;
  };
  const std::vector<Step> steps = {
      {'f', 0, true, 1000},
      {'f', 1000, false, 3000},
      {'f', 3000, false, 7000},
      {'f', 7000, false, 11000},  // the longest wait
      {'f', 8000, false, 11000},  // the answer to an attempt made before the wait
      {'s', 12000, true, 0},
      {'s', 12000, false, 0},
      {'f', 20000, true, 21000},
      {'f', 21000, false, 23000},
      {'o', 21500, false, 0},
      {'f', 22000, false, 23000},  // the spell goes on, from the first wait
      {'s', 23000, true, 0},
  };
  for (const Step& step : steps) {
    bool returned = false;
    if (step.step == 'f') returned = backoff.failed(step.at);
    if (step.step == 's') returned = backoff.succeeded();
    if (step.step == 'o') backoff.startOver();
    EXPECT_EQ(returned, step.returns) << step.at;
    EXPECT_EQ(backoff.allows(step.allowedFrom - 1), step.allowedFrom == 0) << step.at;
    EXPECT_TRUE(backoff.allows(step.allowedFrom)) << step.at;
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
