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
// or none to leave the record as it is. Called once per attempt, with what that attempt read. The
// update compares on exactly what was read, the attribute's absence included, so a write never
// lands on a record the transform has not seen.
using BadgeRecordTransform =
    std::function<std::optional<ByteString>(const std::optional<ByteString>& current)>;

// How a swap ended.
enum class SwapEnd {
  kWritten,         // the transform's bytes were written
  kLeftAsItWas,     // the transform chose to write nothing
  kNoItem,          // a read found no such item (it was never there, or another writer removed it)
  kLostEveryRace,   // every attempt's update found the record changed since its read
  kKeychainFailed,  // the keychain answered anything else; `status` says what
};

struct BadgeRecordSwap {
  SwapEnd end = SwapEnd::kLeftAsItWas;
  // The status of the last keychain call: errSecSuccess when the swap succeeded;
  // errSecItemNotFound when the item is gone or every attempt lost its race (`end` tells which);
  // any other status as the keychain answered it.
  OSStatus status = errSecSuccess;
  std::optional<ByteString> written;  // the bytes written, when they were

  bool succeeded() const { return end == SwapEnd::kWritten || end == SwapEnd::kLeftAsItWas; }
};

// Up to kIncrementAttempts reads and updates; the pause is also taken after the last lost race,
// before giving up. Blocks while pausing.
BadgeRecordSwap swapBadgeRecord(const HomeScreenBadgeKeychainItem& item, CounterPlatform platform,
                                const BadgeRecordTransform& transform);

}  // namespace quenlarch
