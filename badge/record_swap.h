// The one compare-and-swap on the badge record, shared by the extension's increment and every
// app-side write: read the record, let the caller compute the new bytes, and write them only if
// the item still holds the bytes read. A lost race is retried after a short random pause, so that
// writers that collided do not retry in lockstep; keychain statuses are acted on here and nowhere
// else.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "badge/keychain_item.h"
#include "platform/keychain.h"
#include "platform/random_source.h"
#include "platform/sleeper.h"

namespace quenlarch {

inline constexpr int kIncrementAttempts = 24;
// A lost race pauses kRetryPauseBaseMicros + uniform(0 .. kRetryPauseSpreadMicros) microseconds.
inline constexpr std::uint32_t kRetryPauseBaseMicros = 200;
inline constexpr std::uint32_t kRetryPauseSpreadMicros = 1800;

// The platform services a record write uses; all must outlive the call.
struct CounterPlatform {
  Keychain& keychain;
  Sleeper& sleeper;
  RandomSource& random;
};

// Given the bytes stored now (none when the item has no generic attribute), the bytes to write,
// or none to leave the record as it is. Called once per attempt, with what that attempt read.
using BadgeRecordTransform =
    std::function<std::optional<ByteString>(const std::optional<ByteString>& current)>;

struct BadgeRecordSwap {
  // The status of the last keychain call: errSecSuccess when the transform's bytes were written
  // or it chose to write nothing; errSecItemNotFound when the item is gone or every attempt lost
  // its race; any other status as the keychain answered it.
  OSStatus status = errSecSuccess;
  std::optional<ByteString> written;  // the bytes written, when they were
};

// Up to kIncrementAttempts reads and updates; the pause is also taken after the last lost race,
// before giving up. Blocks while pausing.
BadgeRecordSwap swapBadgeRecord(const HomeScreenBadgeKeychainItem& item, CounterPlatform platform,
                                const BadgeRecordTransform& transform);

}  // namespace quenlarch
