// The service's output on the loop: a stream writer whose reader does not read falls behind; the
// service then stops reading its clients and answers provider pushes as overloaded, and once the
// reader catches up every line has arrived, in order, none lost. Past the queue's bound a line is
// lost and counted, never dropped silently. Notes repeated within a window come out as one line
// and a count.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "tools/common/note_limiter.h"
#include "tools/notification_host/engine/clock.h"
#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/engine/stream_writer.h"
#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/provider/drop_notes.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_connection.h"
#include "tools/notification_host/service/provider_pushes.h"

namespace quenlarch::notification_host {
namespace {

using namespace std::chrono_literals;
using Outcome = provider::SinkAnswer::Outcome;

void settle(sd_event* loop) {
  while (sd_event_run(loop, 0) > 0) {
  }
}

// Reads what `fd` holds now (it is non-blocking).
std::string drain(int fd) {
  std::string got;
  char chunk[65536];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) got.append(chunk, static_cast<std::size_t>(n));
  return got;
}

provider::ProviderPush providerPush(int serial) {
  provider::ProviderPush push;
  push.push = *acceptPush(R"({"aps":{"alert":"hello"}})", push::PushDestination{});
  push.push.headers.apnsId = "push-" + std::to_string(serial);
  return push;
}

TEST(LoopOutputTest, AWriterWhoseReaderStopsPausesTheIntakeAndLosesNothing) {
  struct BackPressureCase {
    std::string label;
    bool socket;  // a socket pair, or a pipe
  };
  for (const BackPressureCase& c : {BackPressureCase{"pipe", false}, {"socket", true}}) {
    SCOPED_TRACE(c.label);
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop.has_value());
    std::array<int, 2> stream{};
    ASSERT_EQ(c.socket ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, stream.data())
                       : ::pipe2(stream.data(), O_CLOEXEC),
              0);
    const int reader = stream[0], written = stream[1];
    ::fcntl(reader, F_SETFL, O_NONBLOCK);
    auto writer = StreamWriter::open(loop->get(), written, "test output");
    ASSERT_TRUE(writer.has_value()) << writer.error();
    StreamWriter& out = **writer;

    NotificationHost host(nullptr, loop->get(), "/nonexistent/App.app", false);
    ProviderPushes pushes(host, 64, [&out](const std::string& line) { out.write(line); });
    pushes.setOutputBehind([&out] { return out.behind(); });
    std::array<int, 2> client{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, client.data()),
              0);
    auto connection = ClientConnection::open(
        loop->get(), client[1], 30s, steadyClock(),
        [](std::string_view line, ClientConnection::Reply reply) { reply(std::string(line)); },
        [](ClientConnection&) {});
    ASSERT_TRUE(connection.has_value());
    std::vector<bool> changes;
    out.onBacklogChanged([&](bool behind) {
      changes.push_back(behind);
      (*connection)->setPaused(behind);
    });

    // Lines through accepted provider pushes until the writer is behind.
    int serial = 0;
    while (!out.behind() && serial < 100000) {
      ASSERT_EQ(pushes.submit(providerPush(serial++)).outcome, Outcome::kAccepted);
      settle(loop->get());
    }
    ASSERT_TRUE(out.behind());
    EXPECT_EQ(pushes.submit(providerPush(serial)).outcome, Outcome::kOverloaded);
    ASSERT_EQ(::write(client[0], "status\n", 7), 7);
    settle(loop->get());
    EXPECT_EQ(drain(client[0]), "") << "a client was read while the output was behind";

    // The reader catches up: every line arrives, in order, and the intake opens again.
    std::string got;
    while (out.queuedBytes() > 0) {
      got += drain(reader);
      settle(loop->get());
    }
    got += drain(reader);
    EXPECT_FALSE(out.behind());
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    EXPECT_EQ(out.lost(), 0u);
    EXPECT_EQ(out.written(), static_cast<std::size_t>(serial));
    std::size_t at = 0;
    for (int i = 0; i < serial; ++i) {
      at = got.find("\"push-" + std::to_string(i) + "\"", at);
      ASSERT_NE(at, std::string::npos) << "line " << i << " missing or out of order";
    }
    settle(loop->get());
    EXPECT_EQ(drain(client[0]), "status\n");
    EXPECT_EQ(pushes.submit(providerPush(serial)).outcome, Outcome::kAccepted);
    connection->reset();
    writer->reset();
    for (int fd : {reader, written, client[0]}) ::close(fd);
  }
}

// A reader that never reads: past the queue's bound each line is lost and counted.
TEST(LoopOutputTest, PastItsBoundALineIsLostAndCounted) {
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop.has_value());
  std::array<int, 2> pipe{};
  ASSERT_EQ(::pipe2(pipe.data(), O_CLOEXEC), 0);
  auto writer = StreamWriter::open(loop->get(), pipe[1], "test output", StreamLimits{1024, 4096});
  ASSERT_TRUE(writer.has_value());
  const std::string line(1000, 'x');
  std::size_t offered = 0;
  while ((*writer)->lost() == 0) {
    (*writer)->write(line);
    ++offered;
  }
  EXPECT_EQ((*writer)->lost(), 1u);
  EXPECT_LE((*writer)->queuedBytes(), 4096u);
  EXPECT_GT((*writer)->written(), 0u);
  EXPECT_LT((*writer)->written(), offered);
  EXPECT_THAT((*writer)->failure(), ::testing::HasSubstr("4096 bytes"));
  EXPECT_FALSE((*writer)->finish(std::chrono::steady_clock::now()));
  writer->reset();
  ::close(pipe[0]);
  ::close(pipe[1]);
}

// Notes of one kind: a few per window, then one line with the count when the window ends.
TEST(LoopOutputTest, RepeatedNotesComeOutAsOneLineAndACount) {
  using tools::NoteLimiter;
  const NoteLimiter::TimePoint t0{};
  struct NoteCase {
    std::string label;
    std::vector<std::pair<std::chrono::milliseconds, std::string>> notes;  // at t0 + first
    std::vector<std::string> printed;  // as offered, then what is due at t0 + 10 s
  };
  const std::string junk = "ignoring a line from the extension that is no message (not JSON)";
  const std::vector<NoteCase> cases = {
      {"a kind repeated",
       {{0ms, junk}, {1ms, junk}, {2ms, junk}, {3ms, junk}, {4ms, junk}, {5ms, junk}},
       {junk, junk, junk, junk + " (and 2 more like it)"}},
      {"details do not make a new kind",
       {{0ms, "the extension reports an error: a"},
        {0ms, "the extension reports an error: b"},
        {0ms, "the extension reports an error: c"},
        {0ms, "the extension reports an error: d"}},
       {"the extension reports an error: a", "the extension reports an error: b",
        "the extension reports an error: c", "the extension reports an error: d"}},
      {"a new window prints again",
       {{0ms, junk}, {0ms, junk}, {0ms, junk}, {0ms, junk}, {1500ms, junk}},
       {junk, junk, junk, junk, junk}},
      {"a note naming another file or number is another kind",
       {{0ms, "refused p1.json: bad"},
        {0ms, "refused p1.json: bad"},
        {0ms, "refused p1.json: bad"},
        {0ms, "refused p1.json: bad"},
        {0ms, "refused q1.json: bad"}},
       {"refused p1.json: bad", "refused p1.json: bad", "refused p1.json: bad",
        "refused q1.json: bad", "refused p1.json: bad"}},
      {"kinds are counted apart",
       {{0ms, "a: 1"}, {0ms, "a: 2"}, {0ms, "a: 3"}, {0ms, "a: 4"}, {0ms, "a: 5"}, {0ms, "b"}},
       {"a: 1", "a: 2", "a: 3", "b", "a: 4 (and 1 more like it)"}},
  };
  for (const NoteCase& c : cases) {
    SCOPED_TRACE(c.label);
    NoteLimiter limiter;
    std::vector<std::string> printed;
    for (const auto& [at, note] : c.notes) {
      for (std::string& line : limiter.offer(note, t0 + at)) printed.push_back(std::move(line));
    }
    for (std::string& line : limiter.due(t0 + 10s)) printed.push_back(std::move(line));
    EXPECT_EQ(printed, c.printed);
    EXPECT_FALSE(limiter.nextDue().has_value());
  }
}

// Provider connections dropped before a request: one line per cause and window, the rest of the
// window counted and said when it ends (on the loop's timer, read from a clock the test moves), or
// when the notes go.
TEST(LoopOutputTest, DroppedProviderConnectionsComeOutAsOneLinePerCauseAndWindow) {
  struct Drop {
    std::chrono::milliseconds after;  // since the previous step
    std::string peer;
    std::string cause;
  };
  struct DropCase {
    std::string label;
    std::vector<Drop> drops;
    std::chrono::milliseconds waitAfter;  // then moved on by this, the notes still there
    std::vector<std::string> lines;       // as printed, the destructor's included
  };
  const std::string head = "provider connection from ";
  const std::string idle = "no request within the idle time-out";
  const std::string tls = "the TLS handshake failed";
  const std::vector<DropCase> cases = {
      {"one drop", {{0ms, "a:1", idle}}, 0ms, {head + "a:1 closed before a request: " + idle}},
      {"the rest of a window counted, said when it ends",
       {{0ms, "a:1", idle}, {1ms, "b:2", idle}, {1ms, "c:3", idle}},
       10s,
       {head + "a:1 closed before a request: " + idle,
        "2 more provider connections closed before a request: " + idle + " (the last from c:3)"}},
      {"counts still held when the notes go are said",
       {{0ms, "a:1", idle}, {1ms, "b:2", idle}},
       1s,
       {head + "a:1 closed before a request: " + idle,
        "1 more provider connections closed before a request: " + idle + " (the last from b:2)"}},
      {"causes are windowed apart",
       {{0ms, "a:1", idle}, {0ms, "a:1", tls}},
       0ms,
       {head + "a:1 closed before a request: " + idle,
        head + "a:1 closed before a request: " + tls}},
      {"a drop after the window is a line of its own",
       {{0ms, "a:1", idle}, {10s, "b:2", idle}},
       0ms,
       {head + "a:1 closed before a request: " + idle,
        head + "b:2 closed before a request: " + idle}},
  };
  for (const DropCase& c : cases) {
    SCOPED_TRACE(c.label);
    auto loop = EventLoop::create();
    ASSERT_TRUE(loop);
    ManualClock clock;
    std::vector<std::string> lines;
    {
      provider::DropNotes notes(
          loop->get(), [&lines](std::string_view line) { lines.emplace_back(line); }, 10s, clock);
      for (const Drop& drop : c.drops) {
        clock.advance(drop.after);
        settle(loop->get());
        notes.dropped(drop.peer, drop.cause);
      }
      clock.advance(c.waitAfter);
      settle(loop->get());
    }
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
}  // namespace quenlarch::notification_host
