// The extension runtime over real pipes and threads: requests wait for a bounded pool, a request
// gets its content as received when no thread can be had, time-outs reach the requests they name,
// and parallel requests through the real pipeline keep the stored count exact.
#include "platform/linux/host_connection.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "extension/notification_service.h"
#include "extension/notification_service_factory.h"
#include "platform/linux/host_protocol.h"
#include "platform/linux/line_reader.h"
#include "platform/linux/request_log.h"
#include "tests/support/badge_fixture.h"
#include "tests/support/fake_content.h"

namespace quenlarch {
namespace {

namespace hp = host_protocol;

constexpr std::int64_t kPreparedBadge = 7;

// Prepares every request as a copy with badge 7, each one waiting until the gate opens.
class GatedPreparer final : public ContentPreparer {
 public:
  ContentRef prepareContent(const NotificationRequest& request) override {
    MutexLock guard(mutex_);
    ++started_;
    changed_.notifyAll();
    while (!open_) changed_.wait(mutex_);
    auto copy =
        std::dynamic_pointer_cast<MutableNotificationContent>(request.content->mutableCopy());
    copy->setBadge(kPreparedBadge);
    return copy;
  }
  void waitUntilStarted(int n) {
    MutexLock guard(mutex_);
    while (started_ < n) changed_.wait(mutex_);
  }
  int started() {
    MutexLock guard(mutex_);
    return started_;
  }
  void open() {
    MutexLock guard(mutex_);
    open_ = true;
    changed_.notifyAll();
  }

 private:
  Mutex mutex_;
  CondVar changed_;
  int started_ GUARDED_BY(mutex_) = 0;
  bool open_ GUARDED_BY(mutex_) = false;
};

class ServiceClass final : public PrincipalClass {
 public:
  explicit ServiceClass(ContentPreparer& preparer) : preparer_(preparer) {}
  std::unique_ptr<NotificationServiceExtension> makeObject() override {
    return std::make_unique<NotificationService>(preparer_);
  }

 private:
  ContentPreparer& preparer_;
};

// Thread starts the tests allow: the first `allowed` succeed, the rest are refused.
std::atomic<int> threadsAllowed{0};
std::atomic<int> threadsStarted{0};
bool rationedThreads(pthread_t* thread, std::size_t stack, void* (*body)(void*), void* arg) {
  if (threadsAllowed.fetch_sub(1) <= 0) return false;
  threadsStarted.fetch_add(1);
  return startPosixThread(thread, stack, body, arg);
}
CallPool::Options rationedPool(std::size_t maxThreads, int allowed) {
  threadsAllowed = allowed;
  threadsStarted = 0;
  return {maxThreads, std::size_t{256} << 10, &rationedThreads};
}

// The host's end: the connection served on a thread of its own over two pipes.
class Host {
 public:
  Host(PrincipalClass& principalClass, CallPool::Options pool) {
    int toExtension[2];
    int fromExtension[2];
    EXPECT_EQ(::pipe2(toExtension, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(fromExtension, O_CLOEXEC), 0);
    in_ = toExtension[1];
    out_ = fromExtension[0];
    reader_ = std::make_unique<LineReader>(out_, hp::kMaxLineBytes);
    extension_ =
        std::thread([&principalClass, pool, inFd = toExtension[0], outFd = fromExtension[1]] {
          serveHostConnection(principalClass, inFd, outFd, pool);
          ::close(inFd);
          ::close(outFd);
        });
    EXPECT_TRUE(std::holds_alternative<hp::Ready>(next()));
  }
  ~Host() {
    closeInput();
    ::close(out_);
  }

  void send(const hp::Message& message) { sendLine(hp::encode(message)); }
  void sendLine(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  void request(const std::string& id, std::int64_t badge,
               std::string_view locKey = "Neue Nachricht") {
    send(hp::Request{id, std::make_shared<PushContent>(testing::payloadWithLocKey(locKey), badge,
                                                       PlistValue())});
  }
  // The next message; an Error{"end"} once the extension has closed its output.
  hp::Message next() {
    std::optional<Line> line = reader_->next();
    if (!line) return hp::Error{"end"};
    return hp::decode(line->text);
  }
  // Closes the extension's input and waits until it has finished serving.
  void closeInput() {
    if (in_ >= 0) ::close(std::exchange(in_, -1));
    if (extension_.joinable()) extension_.join();
  }

 private:
  int in_ = -1;
  int out_ = -1;
  std::unique_ptr<LineReader> reader_;
  std::thread extension_;
};

// Badge of each delivered request by id; fails on anything but one delivery per request.
std::map<std::string, std::int64_t> readDeliveries(Host& host, std::size_t count) {
  std::map<std::string, std::int64_t> badges;
  for (std::size_t i = 0; i < count; ++i) {
    hp::Message message = host.next();
    const auto* deliver = std::get_if<hp::Deliver>(&message);
    if (deliver == nullptr) {
      ADD_FAILURE() << "expected a delivery, got " << hp::encode(message);
      break;
    }
    EXPECT_TRUE(badges.emplace(deliver->id, deliver->content->badge().value_or(-1)).second)
        << "delivered twice: " << deliver->id;
  }
  return badges;
}

// Regression: one thread per request without bound (3,001 threads for 3,000 requests while the
// keychain was locked), and an abort when the system refused a thread.
TEST(HostConnectionTest, RequestsBeyondThePoolWaitAndATimeOutAnswersThemAsReceived) {
  GatedPreparer preparer;
  ServiceClass serviceClass(preparer);
  Host host(serviceClass, rationedPool(4, 1000));
  constexpr int kRequests = 300;
  for (int i = 0; i < kRequests; ++i) host.request("r" + std::to_string(i), i);
  preparer.waitUntilStarted(4);
  host.send(hp::TimeWillExpire{});
  const auto badges = readDeliveries(host, kRequests);
  ASSERT_EQ(badges.size(), std::size_t{kRequests});
  for (int i = 0; i < kRequests; ++i) EXPECT_EQ(badges.at("r" + std::to_string(i)), i);
  preparer.open();
  host.closeInput();
  EXPECT_EQ(hp::encode(host.next()), hp::encode(hp::Error{"end"})) << "answered twice";
  EXPECT_EQ(threadsStarted.load(), 4);
  EXPECT_EQ(preparer.started(), 4) << "requests answered while waiting are never prepared";
}

TEST(HostConnectionTest, ThreadsTheSystemRefusesNeverCostARequest) {
  const struct {
    const char* name;
    int threadsAllowed;
    std::int64_t expectedBadge;
  } cases[] = {
      {"no thread at all: as received", 0, 3},
      {"one thread: every request prepared on it", 1, kPreparedBadge},
  };
  for (const auto& c : cases) {
    GatedPreparer preparer;
    preparer.open();
    ServiceClass serviceClass(preparer);
    Host host(serviceClass, rationedPool(8, c.threadsAllowed));
    for (int i = 0; i < 5; ++i) host.request("r" + std::to_string(i), 3);
    const auto badges = readDeliveries(host, 5);
    for (const auto& [id, badge] : badges) EXPECT_EQ(badge, c.expectedBadge) << c.name << " " << id;
    host.sendLine("not json");  // the connection goes on
    EXPECT_TRUE(std::holds_alternative<hp::Error>(host.next())) << c.name;
    host.closeInput();
    EXPECT_EQ(threadsStarted.load(), c.threadsAllowed) << c.name;
  }
}

TEST(HostConnectionTest, TimeWillExpireWithAnIdReachesOnlyThatRequest) {
  GatedPreparer preparer;
  ServiceClass serviceClass(preparer);
  Host host(serviceClass, {});
  for (const char* id : {"a", "b", "c"}) host.request(id, 1);
  preparer.waitUntilStarted(3);
  host.send(hp::TimeWillExpire{"b"});
  EXPECT_EQ(readDeliveries(host, 1), (std::map<std::string, std::int64_t>{{"b", 1}}));
  host.send(hp::TimeWillExpire{"unknown"});
  host.send(hp::TimeWillExpire{"b"});  // already answered: nothing more
  preparer.open();
  EXPECT_EQ(readDeliveries(host, 2),
            (std::map<std::string, std::int64_t>{{"a", kPreparedBadge}, {"c", kPreparedBadge}}));
  host.closeInput();
  EXPECT_EQ(hp::encode(host.next()), hp::encode(hp::Error{"end"}));
}

// The log on the wire: written only when there are entries, and passed over where it is
// malformed, so that neither an old host nor a damaged log ever costs an answer.
TEST(HostProtocolTest, AnswersCarryTheirLogAndReadWithoutOne) {
  const std::vector<hp::LogEntry> log = {{"keychain unusable", "the keychain is damaged"},
                                         {"counted", std::nullopt}};
  EXPECT_EQ(std::get<hp::Released>(hp::decode(hp::encode(hp::Released{"b", log}))).log, log);
  EXPECT_EQ(hp::encode(hp::Released{"b"}), R"({"id":"b","type":"released"})")
      << "no log, no field: what an old host has always read";

  const std::string deliver = R"({"type":"deliver","id":"a","content":{"userInfo":{}})";
  const struct {
    const char* name;
    std::string line;
    std::vector<hp::LogEntry> log;
  } cases[] = {
      {"no log", deliver + "}", {}},
      {"log not an array", deliver + R"(,"log":{"badgeNote":"counted"}})", {}},
      {"entries of the wrong shape",
       deliver + R"(,"log":["counted",{"note":"x"},{"badgeNote":7},{"badgeNote":"counted"}]})",
       {{"counted", std::nullopt}}},
      {"detail not a string",
       deliver + R"(,"log":[{"badgeNote":"counted","detail":1}]})",
       {{"counted", std::nullopt}}},
  };
  for (const auto& c : cases) {
    const hp::Message decoded = hp::decode(c.line);
    const auto* answer = std::get_if<hp::Deliver>(&decoded);
    ASSERT_NE(answer, nullptr) << c.name << ": " << hp::encode(decoded);
    EXPECT_EQ(answer->log, c.log) << c.name;
  }
}

// A fixed bundle that may be read from several threads at once.
class SharedBundle final : public Bundle {
 public:
  SharedBundle(std::string path, PlistValue info)
      : path_(std::move(path)), info_(std::move(info)) {}
  std::string bundleURL() const override { return path_; }
  std::optional<PlistValue> objectForInfoDictionaryKey(std::string_view key) const override {
    const PlistValue* value = info_.find(key);
    if (value == nullptr) return std::nullopt;
    return *value;
  }

 private:
  const std::string path_;
  const PlistValue info_;
};

// One object per request in flight: no push shown twice or lost, every accepted increment is in
// the stored count, and each answer carries its own request's note, with time-outs striking some
// requests mid-flight.
TEST(HostConnectionTest, ParallelRequestsThroughThePipelineKeepTheStoredCountExact) {
  testing::BadgeFixture fixture(testing::Store::kSqlite);
  fixture.storeRecord(fixture.enabledRecord(0));
  testing::FaultInjectingKeychain keychain(*fixture.store);
  SharedBundle bundle(testing::kTestExtensionPath,
                      testing::BadgeFixture::infoWithGroup(testing::kTestAccessGroup));
  HostOutcomeLog log([](BadgeOutcome outcome, OSStatus status) -> std::optional<std::string> {
    if (outcome != BadgeOutcome::kKeychainUnusable) return std::nullopt;
    return std::to_string(status);
  });
  PlatformServices services{bundle, fixture.sha256, keychain, fixture.sleeper, fixture.random, log};
  std::unique_ptr<PrincipalClass> serviceClass = makeNotificationServiceClass(services);
  Host host(*serviceClass, {});

  constexpr int kRequests = 200;
  constexpr int kInFlight = 8;
  std::set<std::string> answered;
  int countedNotes = 0;
  int sent = 0;
  while (answered.size() < kRequests) {
    while (sent < kRequests && sent - static_cast<int>(answered.size()) < kInFlight) {
      // Every other push does not count: each answer must carry its own request's note.
      host.request(std::to_string(sent), 0, sent % 2 == 0 ? "Neue Nachricht" : "Hallo");
      if (sent % 10 == 9) host.send(hp::TimeWillExpire{std::to_string(sent - 3)});
      ++sent;
    }
    hp::Message message = host.next();
    const auto* deliver = std::get_if<hp::Deliver>(&message);
    ASSERT_NE(deliver, nullptr) << hp::encode(message);
    ASSERT_TRUE(answered.insert(deliver->id).second) << "shown twice: " << deliver->id;
    // One entry, unless the time-out answered before the pipeline ended.
    EXPECT_LE(deliver->log.size(), 1u) << hp::encode(message);
    const bool counts = std::stoi(deliver->id) % 2 == 0;
    for (const hp::LogEntry& entry : deliver->log) {
      EXPECT_EQ(entry.badgeNote, counts ? "counted" : "not a counted alert") << deliver->id;
      countedNotes += entry.badgeNote == "counted";
    }
  }
  host.closeInput();
  EXPECT_EQ(hp::encode(host.next()), hp::encode(hp::Error{"end"}));
  EXPECT_GT(keychain.acceptedUpdates(), 0);
  EXPECT_GT(countedNotes, 0);
  EXPECT_LE(countedNotes, keychain.acceptedUpdates()) << "a note for an increment that was not";
  EXPECT_EQ(fixture.storedCount().value_or(~0u),
            static_cast<std::uint32_t>(keychain.acceptedUpdates()));
}

}  // namespace
}  // namespace quenlarch
