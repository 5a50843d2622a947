// Hand-written fakes for the platform seams: a bundle with a fixed path and Info.plist, a sleeper
// that records pauses and never sleeps, a random source that returns scripted values, a keychain
// that is a list of items, a wrapper that scripts failures of any keychain and counts its calls,
// and an outcome log that keeps what it is told. Also linked by the benchmarks.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/keychain.h"
#include "platform/keychain_query.h"
#include "platform/mutex.h"
#include "platform/outcome_log.h"
#include "platform/random_source.h"
#include "platform/sleeper.h"

namespace quenlarch::testing {

class FakeBundle final : public Bundle {
 public:
  explicit FakeBundle(std::string path, PlistValue info = PlistValue())
      : path_(std::move(path)), info_(std::move(info)) {}
  std::string bundleURL() const override { return path_; }
  std::optional<PlistValue> objectForInfoDictionaryKey(std::string_view key) const override;
  int infoLookups() const { return lookups_; }

 private:
  std::string path_;
  PlistValue info_;
  mutable int lookups_ = 0;
};

class RecordingSleeper final : public Sleeper {
 public:
  void sleepMicroseconds(std::uint32_t microseconds) override EXCLUDES(mutex_);
  std::vector<std::uint32_t> pauses() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::vector<std::uint32_t> pauses_ GUARDED_BY(mutex_);
};

// Returns the scripted values in order, then `fallback`; records each upper bound asked for.
class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::vector<std::uint32_t> values = {}, std::uint32_t fallback = 0)
      : values_(values.begin(), values.end()), fallback_(fallback) {}
  std::uint32_t uniform(std::uint32_t upperBound) override EXCLUDES(mutex_);
  void script(const std::vector<std::uint32_t>& values) EXCLUDES(mutex_);
  std::vector<std::uint32_t> upperBounds() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::deque<std::uint32_t> values_ GUARDED_BY(mutex_);
  const std::uint32_t fallback_;
  std::vector<std::uint32_t> bounds_ GUARDED_BY(mutex_);
};

// An in-memory keychain that obeys the seam's matching contract through the same code as the real
// store (keychain_query.h). Unrestricted, like the containing app's tools: `add` must name a group.
// Thread safety: every call holds one mutex.
class FakeKeychain final : public Keychain {
 public:
  KeychainMatch copyMatching(const KeychainQuery& query) override EXCLUDES(mutex_);
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override
      EXCLUDES(mutex_);
  OSStatus add(const KeychainQuery& attributes) override EXCLUDES(mutex_);
  OSStatus remove(const KeychainQuery& query) override EXCLUDES(mutex_);
  std::size_t itemCount() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::vector<KeychainItem> items_ GUARDED_BY(mutex_);
};

// Wraps any keychain (the fake or the real store) with switches that script failures, a hook that
// plays a concurrent writer just before an update reaches the store, and call counters.
// Thread safety: calls may come from several threads; the hook runs outside the wrapper's lock (so
// it may call the wrapper) and is set before the calls start.
class FaultInjectingKeychain final : public Keychain {
 public:
  explicit FaultInjectingKeychain(Keychain& inner) : inner_(inner) {}
  KeychainMatch copyMatching(const KeychainQuery& query) override EXCLUDES(mutex_);
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override
      EXCLUDES(mutex_);
  OSStatus add(const KeychainQuery& attributes) override EXCLUDES(mutex_);
  OSStatus remove(const KeychainQuery& query) override EXCLUDES(mutex_);

  // Each scripted status answers one call instead of the store.
  void failNextUpdates(int count, OSStatus status) EXCLUDES(mutex_);
  void failNextReads(int count, OSStatus status) EXCLUDES(mutex_);
  void beforeUpdate(std::function<void()> hook) { beforeUpdate_ = std::move(hook); }

  int updateCalls() const EXCLUDES(mutex_);
  int readCalls() const EXCLUDES(mutex_);
  int callCount() const EXCLUDES(mutex_);
  // Updates the store answered with success.
  int acceptedUpdates() const EXCLUDES(mutex_);

 private:
  // The next scripted failure in `failures`, taken off it; none when there is none.
  std::optional<OSStatus> takeFailure(std::deque<OSStatus>& failures) REQUIRES(mutex_);

  Keychain& inner_;
  std::function<void()> beforeUpdate_;
  mutable Mutex mutex_;
  std::deque<OSStatus> updateFailures_ GUARDED_BY(mutex_);
  std::deque<OSStatus> readFailures_ GUARDED_BY(mutex_);
  int updateCalls_ GUARDED_BY(mutex_) = 0;
  int readCalls_ GUARDED_BY(mutex_) = 0;
  int otherCalls_ GUARDED_BY(mutex_) = 0;
  int acceptedUpdates_ GUARDED_BY(mutex_) = 0;
};

// Keeps every outcome it is told, with the keychain status beside it.
class RecordingOutcomeLog final : public OutcomeLog {
 public:
  struct Entry {
    BadgeOutcome outcome;
    OSStatus keychainStatus;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  void badgeOutcome(BadgeOutcome outcome, OSStatus keychainStatus) override EXCLUDES(mutex_);
  std::vector<Entry> entries() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::vector<Entry> entries_ GUARDED_BY(mutex_);
};

// The attributes of the badge counter item as the containing app adds it.
KeychainQuery badgeItemAttributes(const std::string& accessGroup, const ByteString& record);

}  // namespace quenlarch::testing
