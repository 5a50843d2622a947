// A ready badge setup over the fakes: an extension bundle configured with an access group, the
// installation's tag, and a fake keychain holding the counter item.
#pragma once

#include "badge/badge_environment.h"
#include "badge/badge_record.h"
#include "badge/counter_increment.h"
#include "badge/keychain_item.h"
#include "platform/linux/openssl_sha256.h"
#include "tests/support/fakes.h"

namespace quenlarch::testing {

inline constexpr const char* kTestAccessGroup = "ABCDE12345.com.quenlarch.app.badge";
inline constexpr const char* kTestExtensionPath = "/Applications/App.app/Contents/PlugIns/B.appex";
inline constexpr const char* kOtherAppPath = "/Applications/Other.app";

struct BadgeFixture {
  OpenSslSha256 sha256;
  FakeBundle bundle{kTestExtensionPath, infoWithGroup(kTestAccessGroup)};
  HomeScreenBadgeEnvironment env{bundle, sha256};
  FakeKeychain keychain;
  RecordingSleeper sleeper;
  ScriptedRandom random;

  static PlistValue infoWithGroup(const PlistValue& group) {
    PlistValue info;
    info.set("TAVIBadgeKeychainGroup", group);
    return info;
  }
  const HomeScreenBadgeInstallTag& tag() { return env.currentInstallTag(); }
  HomeScreenBadgeKeychainItem item() { return *badgeKeychainItem(bundle); }
  CounterPlatform platform() { return {keychain, sleeper, random}; }

  ByteString enabledRecord(std::uint32_t count) { return encodeBadgeRecord({true, count, tag()}, env); }
  ByteString foreignRecord(std::uint32_t count) {
    return encodeBadgeRecord({true, count, makeInstallTag(kOtherAppPath, sha256)}, env);
  }
  static ByteString disabledRecord() {
    return ByteString{'T', 'B', 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  }
  void storeRecord(const ByteString& record) {
    if (keychain.itemCount() == 0) {
      keychain.add(badgeItemAttributes(kTestAccessGroup, record));
    } else {
      keychain.setGenericOfFirstItem(record);
    }
  }
  // The count stored for this installation, or none when the record is not ours.
  std::optional<std::uint32_t> storedCount() {
    auto bytes = keychain.genericOfFirstItem();
    if (!bytes) return std::nullopt;
    auto state = decodeBadgeRecord(*bytes, tag(), env);
    if (!state || !state->isEnabled || !(state->installTag == tag())) return std::nullopt;
    return state->count;
  }
};

}  // namespace quenlarch::testing
