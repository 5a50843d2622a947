// Adds one to the shared badge counter. Several extension processes and the containing app may
// write the item at once, so the increment goes through the record's compare-and-swap
// (record_swap.h), which re-reads and re-validates the record on every attempt.
#pragma once

#include <cstdint>
#include <optional>

#include "badge/badge_environment.h"
#include "badge/badge_outcomes.h"
#include "badge/keychain_item.h"
#include "badge/record_swap.h"

namespace quenlarch {

// The new count, or none when the record is unreadable, invalid, switched off, belongs to another
// installation, the known tag is the zero tag, the keychain refuses, or every attempt lost its
// race. The count saturates at 4294967295. Blocks while pausing between attempts.
std::optional<std::uint32_t> incrementBadgeCount(const HomeScreenBadgeInstallTag& knownTag,
                                                 const HomeScreenBadgeKeychainItem& item,
                                                 CounterPlatform platform,
                                                 const HomeScreenBadgeEnvironment& env);

// The same increment, with the reason beside its result: kCounted with the count, otherwise which
// of the cases above stopped it.
struct BadgeIncrement {
  std::optional<std::uint32_t> count;
  BadgeOutcomeReason reason;
};
BadgeIncrement incrementBadgeCountWithReason(const HomeScreenBadgeInstallTag& knownTag,
                                             const HomeScreenBadgeKeychainItem& item,
                                             CounterPlatform platform,
                                             const HomeScreenBadgeEnvironment& env);

}  // namespace quenlarch
