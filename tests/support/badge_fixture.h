// A ready badge setup: an extension bundle configured with an access group, the installation's
// tag, and a keychain holding the counter item. The keychain is the in-memory fake or the real
// SQLite store in a temporary folder, wrapped in fault injection either way, so one test can run
// against both.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <memory>

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "badge/counter_increment.h"
#include "badge/keychain_item.h"
#include "platform/linux/openssl_sha256.h"
#include "platform/linux/sqlite_keychain.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace quenlarch::testing {

inline constexpr const char* kTestAccessGroup = "ABCDE12345.com.quenlarch.app.badge";
inline constexpr const char* kTestExtensionPath = "/Applications/App.app/Contents/PlugIns/B.appex";
inline constexpr const char* kOtherAppPath = "/Applications/Other.app";

enum class Store { kFake, kSqlite };

inline const char* storeName(Store store) { return store == Store::kFake ? "fake" : "sqlite"; }

struct BadgeFixture {
  explicit BadgeFixture(Store kind = Store::kFake) {
    if (kind == Store::kFake) {
      store = std::make_unique<FakeKeychain>();
    } else {
      store = std::make_unique<SqliteKeychain>(dir / "keychain.sqlite", std::nullopt);
    }
    keychain = std::make_unique<FaultInjectingKeychain>(*store);
  }
  ~BadgeFixture() {
    keychain.reset();  // close the store before its folder goes
    store.reset();
  }
  BadgeFixture(const BadgeFixture&) = delete;
  BadgeFixture& operator=(const BadgeFixture&) = delete;

  TempDir dir{"badge-fixture"};
  std::unique_ptr<Keychain> store;
  std::unique_ptr<FaultInjectingKeychain> keychain;
  OpenSslSha256 sha256;
  FakeBundle bundle{kTestExtensionPath, infoWithGroup(kTestAccessGroup)};
  HomeScreenBadgeEnvironment env{bundle, sha256};
  RecordingSleeper sleeper;
  ScriptedRandom random;
  RecordingOutcomeLog log;

  static PlistValue infoWithGroup(const PlistValue& group) {
    PlistValue info;
    info.set("TAVIBadgeKeychainGroup", group);
    return info;
  }
  const HomeScreenBadgeInstallTag& tag() { return env.currentInstallTag(); }
  HomeScreenBadgeKeychainItem item() { return *badgeKeychainItem(bundle); }
  CounterPlatform platform() { return {*keychain, sleeper, random}; }

  ByteString enabledRecord(std::uint32_t count) {
    return encodeBadgeRecord({true, count, tag()}, env);
  }
  ByteString foreignRecord(std::uint32_t count) {
    return encodeBadgeRecord({true, count, makeInstallTag(kOtherAppPath, sha256)}, env);
  }
  static ByteString disabledRecord() {
    return ByteString{'T', 'B', 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  }

  // Writes straight to the store, past fault injection, as another writer would.
  void storeRecord(const ByteString& record) {
    KeychainQuery attributes = badgeItemAttributes(kTestAccessGroup, record);
    if (store->add(attributes) == errSecDuplicateItem) {
      store->update(baseItemQuery(item()), {{kSecAttrGeneric, PlistValue(PlistData{record})}});
    }
  }
  void removeItem() { store->remove(baseItemQuery(item())); }
  std::optional<ByteString> storedRecord() { return readBadgeRecordData(item(), *store); }
  // The count stored for this installation, or none when the record is not ours.
  std::optional<std::uint32_t> storedCount() {
    auto bytes = storedRecord();
    if (!bytes) return std::nullopt;
    auto state = decodeBadgeRecord(*bytes, tag(), env);
    if (!state || !isOwnedByInstallation(*state, tag())) return std::nullopt;
    return state->count;
  }
};

}  // namespace quenlarch::testing
