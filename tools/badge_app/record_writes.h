// The containing app's writes of the badge record. Each goes through the record's one
// compare-and-swap (badge/record_swap.h), so an app-side write never clobbers an increment that
// landed in between; the platform passed in decides how retries pause (real or test fakes).
#pragma once

#include <cstdint>

#include "badge/badge_environment.h"
#include "badge/keychain_item.h"
#include "badge/record_swap.h"

namespace quenlarch::badge_app {

// Counting on for the installation `tag`; a counter already on for it keeps its count.
BadgeRecordSwap enableCounting(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                               const HomeScreenBadgeInstallTag& tag,
                               const HomeScreenBadgeEnvironment& env);
BadgeRecordSwap disableCounting(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                                const HomeScreenBadgeEnvironment& env);
// Counting on for `tag` with the stored count `count`.
BadgeRecordSwap setStoredCount(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                               const HomeScreenBadgeInstallTag& tag,
                               const HomeScreenBadgeEnvironment& env, std::uint32_t count);
// Any bytes at all, valid record or not (a diagnostic).
BadgeRecordSwap replaceRecord(CounterPlatform platform, const HomeScreenBadgeKeychainItem& item,
                              const ByteString& record);

// The item's attributes as the app creates it, holding `record`.
KeychainQuery newItemAttributes(const HomeScreenBadgeKeychainItem& item, const ByteString& record);

}  // namespace quenlarch::badge_app
