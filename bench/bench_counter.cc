// Seeding and reading the benchmarks' counter through the real keychain store, unrestricted, as
// the containing app's tools do.
#include "bench/bench_counter.h"

#include "badge/badge_record.h"
#include "badge/install_tag.h"
#include "platform/linux/sqlite_keychain.h"

namespace quenlarch::bench {

BenchCounter::BenchCounter()
    : env_(makeInstallTag(kBenchExtensionPath, sha256_)),
      item_{std::string(kBadgeKeychainService), std::string(kBadgeKeychainAccount),
            std::string(kBenchAccessGroup)} {}

bool BenchCounter::seed(const std::string& databasePath, std::uint32_t count) const {
  SqliteKeychain keychain(databasePath, std::nullopt);
  const ByteString record = encodeBadgeRecord({true, count, tag()}, env_);
  KeychainQuery attributes = baseItemQuery(item_);
  attributes[kSecAttrGeneric] = PlistValue(PlistData{record});
  attributes[kSecValueData] = PlistValue(PlistData{});
  OSStatus status = keychain.add(attributes);
  if (status == errSecDuplicateItem) {
    status =
        keychain.update(baseItemQuery(item_), {{kSecAttrGeneric, PlistValue(PlistData{record})}});
  }
  return status == errSecSuccess;
}

std::optional<std::uint32_t> BenchCounter::storedCount(const std::string& databasePath) const {
  SqliteKeychain keychain(databasePath, std::nullopt);
  std::optional<ByteString> data = readBadgeRecordData(item_, keychain);
  if (!data) return std::nullopt;
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*data, tag(), env_);
  if (!state || !isOwnedByInstallation(*state, tag())) return std::nullopt;
  return state->count;
}

}  // namespace quenlarch::bench
