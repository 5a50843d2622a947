// The increment as a transform of the record.
#include "badge/counter_increment.h"

#include <limits>

#include "badge/badge_record.h"

namespace quenlarch {

std::optional<std::uint32_t> incrementBadgeCount(const HomeScreenBadgeInstallTag& knownTag,
                                                 const HomeScreenBadgeKeychainItem& item,
                                                 CounterPlatform platform,
                                                 const HomeScreenBadgeEnvironment& env) {
  std::uint32_t next = 0;
  BadgeRecordSwap swap = swapBadgeRecord(
      item, platform, [&](const std::optional<ByteString>& current) -> std::optional<ByteString> {
        if (!current) return std::nullopt;
        std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*current, knownTag, env);
        // A counter switched off or handed to another installation, now or by a writer since the
        // last attempt, is never touched.
        if (!state || !isOwnedByInstallation(*state, knownTag)) return std::nullopt;
        next = state->count == std::numeric_limits<std::uint32_t>::max() ? state->count
                                                                         : state->count + 1;
        // The tag decoded from the record, with its resolved count mask, is written back.
        return encodeBadgeRecord({true, next, state->installTag}, env);
      });
  if (swap.status != errSecSuccess || !swap.written) return std::nullopt;
  return next;
}

}  // namespace quenlarch
