// Hand-written fakes for the platform seams: a bundle with a fixed path and Info.plist, a sleeper
// that records pauses and never sleeps, a random source that returns scripted values, and a
// keychain that is a list of items with switches to fail operations.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/bundle.h"
#include "platform/keychain.h"
#include "platform/keychain_query.h"
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
  void sleepMicroseconds(std::uint32_t microseconds) override;
  std::vector<std::uint32_t> pauses() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint32_t> pauses_;
};

// Returns the scripted values in order, then `fallback`; records each upper bound asked for.
class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::vector<std::uint32_t> values = {}, std::uint32_t fallback = 0)
      : values_(values.begin(), values.end()), fallback_(fallback) {}
  std::uint32_t uniform(std::uint32_t upperBound) override;
  void script(const std::vector<std::uint32_t>& values);
  std::vector<std::uint32_t> upperBounds() const;

 private:
  mutable std::mutex mutex_;
  std::deque<std::uint32_t> values_;
  std::uint32_t fallback_;
  std::vector<std::uint32_t> bounds_;
};

// An in-memory keychain that obeys the seam's matching contract through the same code as the real
// store (keychain_query.h). Unrestricted, like the containing app's tools: `add` must name a group.
// Thread safety: every call holds one mutex.
class FakeKeychain final : public Keychain {
 public:
  KeychainMatch copyMatching(const KeychainQuery& query) override;
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override;
  OSStatus add(const KeychainQuery& attributes) override;
  OSStatus remove(const KeychainQuery& query) override;
  std::size_t itemCount() const;

 private:
  mutable std::mutex mutex_;
  std::vector<KeychainItem> items_;  // guarded by mutex_
};

// Wraps any keychain (the fake or the real store) with switches that script failures, a hook that
// plays a concurrent writer just before an update reaches the store, and call counters.
class FaultInjectingKeychain final : public Keychain {
 public:
  explicit FaultInjectingKeychain(Keychain& inner) : inner_(inner) {}
  KeychainMatch copyMatching(const KeychainQuery& query) override;
  OSStatus update(const KeychainQuery& query, const KeychainQuery& attributesToUpdate) override;
  OSStatus add(const KeychainQuery& attributes) override;
  OSStatus remove(const KeychainQuery& query) override;

  // Each scripted status answers one call instead of the store.
  void failNextUpdates(int count, OSStatus status);
  void failNextReads(int count, OSStatus status);
  void beforeUpdate(std::function<void()> hook) { beforeUpdate_ = std::move(hook); }

  int updateCalls() const { return updateCalls_; }
  int readCalls() const { return readCalls_; }
  int callCount() const { return updateCalls_ + readCalls_ + otherCalls_; }

 private:
  Keychain& inner_;
  std::deque<OSStatus> updateFailures_;
  std::deque<OSStatus> readFailures_;
  std::function<void()> beforeUpdate_;
  int updateCalls_ = 0;
  int readCalls_ = 0;
  int otherCalls_ = 0;
};

// The attributes of the badge counter item as the containing app adds it.
KeychainQuery badgeItemAttributes(const std::string& accessGroup, const ByteString& record);

}  // namespace quenlarch::testing
