// The badge counter as the benchmarks set it up: one installation (an extension bundle path that
// need not exist, since only its path is hashed), its access group, and a keychain store file
// holding the counter item with an enabled record, as `badge-app install` leaves it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "badge/badge_environment.h"
#include "badge/keychain_item.h"
#include "platform/linux/openssl_sha256.h"

namespace quenlarch::bench {

inline constexpr const char* kBenchAccessGroup = "QLBENCH001.com.quenlarch.app.badge";
inline constexpr const char* kBenchExtensionPath =
    "/Applications/Bench.app/Contents/PlugIns/BadgeService.appex";

class BenchCounter {
 public:
  BenchCounter();
  BenchCounter(const BenchCounter&) = delete;
  BenchCounter& operator=(const BenchCounter&) = delete;

  const HomeScreenBadgeEnvironment& env() const { return env_; }
  const HomeScreenBadgeInstallTag& tag() const { return env_.currentInstallTag(); }
  const HomeScreenBadgeKeychainItem& item() const { return item_; }

  // Creates the store at `databasePath` (or reuses it) with the counter item holding an enabled
  // record of `count`. False when the store refuses.
  bool seed(const std::string& databasePath, std::uint32_t count) const;
  // The count stored at `databasePath` for this installation; none when the record is not ours.
  std::optional<std::uint32_t> storedCount(const std::string& databasePath) const;

 private:
  OpenSslSha256 sha256_;
  HomeScreenBadgeEnvironment env_;
  HomeScreenBadgeKeychainItem item_;
};

}  // namespace quenlarch::bench
