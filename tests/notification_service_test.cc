// The service object's lifecycle: deliver-once under every ordering of request, preparation and
// time-out, including real threads racing.
#include "extension/notification_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "extension/notification_service_factory.h"
#include "tests/support/badge_fixture.h"
#include "tests/support/fake_content.h"

namespace quenlarch {
namespace {

using testing::FakeContent;

ContentRef makeContent(std::int64_t badge) {
  return std::make_shared<FakeContent>(testing::payloadWithLocKey("x"), badge);
}

// Returns a fixed prepared content; optionally blocks until released, to hold a request
// mid-preparation.
class ControlledPreparer final : public ContentPreparer {
 public:
  explicit ControlledPreparer(bool blocking = false) : blocking_(blocking) {}
  ContentRef prepareContent(const NotificationRequest& request) override EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    ++started_;
    changed_.notifyAll();
    if (blocking_) {
      while (released_ == 0) changed_.wait(mutex_);
      --released_;
    }
    return prepared_ ? prepared_ : request.content;
  }
  void waitUntilStarted(int n) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    while (started_ < n) changed_.wait(mutex_);
  }
  void releaseOne() EXCLUDES(mutex_) {
    MutexLock guard(mutex_);
    ++released_;
    changed_.notifyAll();
  }
  ContentRef prepared_;  // set before the first request

 private:
  const bool blocking_;
  Mutex mutex_;
  CondVar changed_;
  int started_ GUARDED_BY(mutex_) = 0;
  int released_ GUARDED_BY(mutex_) = 0;
};

// Records each call of a handler; `alive` tells whether the handler object still exists.
struct HandlerProbe {
  Mutex mutex;
  std::vector<ContentRef> calls GUARDED_BY(mutex);
  std::shared_ptr<int> token = std::make_shared<int>(0);
  std::weak_ptr<int> alive = token;

  ContentHandler handler() {
    std::shared_ptr<int> keep = std::exchange(token, nullptr);
    return [this, keep](ContentRef content) {
      MutexLock guard(mutex);
      calls.push_back(std::move(content));
    };
  }
  std::size_t callCount() EXCLUDES(mutex) {
    MutexLock guard(mutex);
    return calls.size();
  }
  ContentRef call(std::size_t i) EXCLUDES(mutex) {
    MutexLock guard(mutex);
    return calls.at(i);
  }
};

TEST(NotificationServiceTest, DeliversPreparedContentOnceAndIgnoresLaterTimeout) {
  ControlledPreparer preparer;
  preparer.prepared_ = makeContent(5);
  NotificationService service(preparer);
  HandlerProbe probe;
  service.didReceiveNotificationRequest({"r1", makeContent(1)}, probe.handler());
  service.serviceExtensionTimeWillExpire();
  ASSERT_EQ(probe.callCount(), 1u);
  EXPECT_EQ(probe.call(0), preparer.prepared_);
  EXPECT_TRUE(probe.alive.expired()) << "the handler is released after its call";
}

TEST(NotificationServiceTest, TimeoutDuringPreparationDeliversTheContentAsReceived) {
  ControlledPreparer preparer(/*blocking=*/true);
  preparer.prepared_ = makeContent(5);
  NotificationService service(preparer);
  HandlerProbe probe;
  ContentRef received = makeContent(1);
  std::thread host([&] {
    service.didReceiveNotificationRequest({"r1", received}, probe.handler());
  });
  preparer.waitUntilStarted(1);
  service.serviceExtensionTimeWillExpire();
  ASSERT_EQ(probe.callCount(), 1u);
  EXPECT_EQ(probe.call(0), received);
  preparer.releaseOne();
  host.join();
  EXPECT_EQ(probe.callCount(), 1u) << "the prepared content must be dropped";
}

TEST(NotificationServiceTest, TimeoutBeforeAnyRequestDoesNothing) {
  ControlledPreparer preparer;
  NotificationService service(preparer);
  service.serviceExtensionTimeWillExpire();  // must not crash or call anything
  HandlerProbe probe;
  service.didReceiveNotificationRequest({"r1", makeContent(1)}, probe.handler());
  EXPECT_EQ(probe.callCount(), 1u);
}

// Regression: a second request replacing a pending handler used to let the first request's
// prepared content reach the second request's handler, showing one notification with another's
// content.
TEST(NotificationServiceTest, ReplacedRequestsPreparedContentNeverReachesTheNewHandler) {
  ControlledPreparer preparer(/*blocking=*/true);
  NotificationService service(preparer);
  HandlerProbe first;
  HandlerProbe second;
  ContentRef content1 = makeContent(1);
  ContentRef content2 = makeContent(2);

  std::thread t1([&] { service.didReceiveNotificationRequest({"r1", content1}, first.handler()); });
  preparer.waitUntilStarted(1);
  std::thread t2([&] {
    service.didReceiveNotificationRequest({"r2", content2}, second.handler());
  });
  preparer.waitUntilStarted(2);
  EXPECT_TRUE(first.alive.expired()) << "the replaced handler is released uncalled";

  preparer.releaseOne();  // one of the two preparations finishes first; release both in turn
  preparer.releaseOne();
  t1.join();
  t2.join();
  EXPECT_EQ(first.callCount(), 0u);
  ASSERT_EQ(second.callCount(), 1u);
  EXPECT_EQ(second.call(0), content2);
}

TEST(NotificationServiceTest, TimeoutAfterReplacementDeliversTheNewestContent) {
  ControlledPreparer preparer(/*blocking=*/true);
  NotificationService service(preparer);
  HandlerProbe first;
  HandlerProbe second;
  ContentRef content2 = makeContent(2);
  std::thread t1([&] {
    service.didReceiveNotificationRequest({"r1", makeContent(1)}, first.handler());
  });
  preparer.waitUntilStarted(1);
  std::thread t2([&] {
    service.didReceiveNotificationRequest({"r2", content2}, second.handler());
  });
  preparer.waitUntilStarted(2);
  service.serviceExtensionTimeWillExpire();
  ASSERT_EQ(second.callCount(), 1u);
  EXPECT_EQ(second.call(0), content2);
  preparer.releaseOne();
  preparer.releaseOne();
  t1.join();
  t2.join();
  EXPECT_EQ(first.callCount(), 0u);
  EXPECT_EQ(second.callCount(), 1u);
}

TEST(NotificationServiceTest, HandlerMayCallBackIntoTheServiceWithoutDeadlock) {
  ControlledPreparer preparer;
  NotificationService service(preparer);
  int calls = 0;
  int nested = 0;
  ContentHandler reentrant = [&](ContentRef) {
    ++calls;
    service.serviceExtensionTimeWillExpire();  // finds no handler: a no-op
    if (nested++ == 0) {
      service.didReceiveNotificationRequest({"inner", makeContent(3)},
                                            [&](ContentRef) { ++calls; });
    }
  };
  service.didReceiveNotificationRequest({"outer", makeContent(1)}, reentrant);
  EXPECT_EQ(calls, 2);
}

TEST(NotificationServiceTest, RequestAndTimeoutRacingOnTwoThreadsDeliverExactlyOnce) {
  ControlledPreparer preparer;
  preparer.prepared_ = makeContent(9);
  constexpr int kRounds = 2000;
  int preparedWins = 0;
  for (int round = 0; round < kRounds; ++round) {
    NotificationService service(preparer);
    std::atomic<int> calls{0};
    std::atomic<const NotificationContent*> shown{nullptr};
    ContentRef received = makeContent(1);
    std::atomic<bool> go{false};
    std::thread host([&] {
      while (!go.load()) {
      }
      service.didReceiveNotificationRequest({"r", received}, [&](ContentRef c) {
        shown = c.get();
        calls.fetch_add(1);
      });
    });
    std::thread timer([&] {
      while (!go.load()) {
      }
      service.serviceExtensionTimeWillExpire();
    });
    go = true;
    host.join();
    timer.join();
    ASSERT_EQ(calls.load(), 1) << "round " << round;
    const NotificationContent* c = shown.load();
    ASSERT_TRUE(c == received.get() || c == preparer.prepared_.get());
    if (c == preparer.prepared_.get()) ++preparedWins;
  }
  EXPECT_GT(preparedWins, 0);
}

// Regression: the pipeline lived in function-local statics, so a second class object silently
// counted with the first one's bundle and keychain.
TEST(NotificationServiceClassTest, EachClassObjectCountsWithItsOwnServices) {
  testing::BadgeFixture first;
  testing::BadgeFixture second;
  first.storeRecord(first.enabledRecord(1));
  second.storeRecord(second.enabledRecord(10));
  auto classFor = [](testing::BadgeFixture& f) {
    return makeNotificationServiceClass(
        {f.bundle, f.sha256, *f.keychain, f.sleeper, f.random, f.log});
  };
  std::unique_ptr<PrincipalClass> firstClass = classFor(first);
  std::unique_ptr<PrincipalClass> secondClass = classFor(second);
  const struct {
    PrincipalClass* principalClass;
    testing::BadgeFixture* fixture;
    std::int64_t badge;
  } cases[] = {{firstClass.get(), &first, 2}, {secondClass.get(), &second, 11}};
  for (const auto& c : cases) {
    std::unique_ptr<NotificationServiceExtension> service = c.principalClass->makeObject();
    std::optional<std::int64_t> shown;
    service->didReceiveNotificationRequest(
        {"r",
         std::make_shared<FakeContent>(testing::payloadWithLocKey("Neue Nachricht"), std::nullopt)},
        [&](ContentRef content) { shown = content->badge(); });
    EXPECT_EQ(shown, c.badge);
    EXPECT_EQ(c.fixture->storedCount(), std::optional<std::uint32_t>(c.badge));
    EXPECT_EQ(c.fixture->log.entries(), (std::vector<testing::RecordingOutcomeLog::Entry>{
                                            {BadgeOutcome::kCounted, errSecSuccess}}));
  }
}

}  // namespace
}  // namespace quenlarch
