// Adds one to the shared badge counter. Several extension processes and the containing app may
// write the item at once, so the increment is an optimistic compare-and-swap on the generic
// attribute: the update only matches while the attribute still holds the bytes that were read.
// A lost race is retried, after a short random pause, up to 24 times in all.
#pragma once

#include <cstdint>
#include <optional>

#include "badge/badge_environment.h"
#include "badge/keychain_item.h"
#include "platform/keychain.h"
#include "platform/random_source.h"
#include "platform/sleeper.h"

namespace quenlarch {

inline constexpr int kIncrementAttempts = 24;
// A lost race pauses kRetryPauseBaseMicros + uniform(0 .. kRetryPauseSpreadMicros) microseconds;
// the random part keeps colliding writers from retrying in lockstep.
inline constexpr std::uint32_t kRetryPauseBaseMicros = 200;
inline constexpr std::uint32_t kRetryPauseSpreadMicros = 1800;

// The platform services the increment uses; all must outlive the call.
struct CounterPlatform {
  Keychain& keychain;
  Sleeper& sleeper;
  RandomSource& random;
};

// The new count, or none when the record is unreadable, invalid, switched off, belongs to another
// installation, the known tag is the zero tag, the keychain refuses, or every attempt lost its race.
// The count saturates at 4294967295. Blocks while pausing between attempts.
std::optional<std::uint32_t> incrementBadgeCount(const HomeScreenBadgeInstallTag& knownTag,
                                                 const HomeScreenBadgeKeychainItem& item,
                                                 CounterPlatform platform,
                                                 const HomeScreenBadgeEnvironment& env);

}  // namespace quenlarch
