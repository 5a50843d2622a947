// The increment as a transform of the record.
#include "badge/counter_increment.h"

#include <limits>

#include "badge/badge_record.h"

namespace quenlarch {

std::optional<std::uint32_t> incrementBadgeCount(const HomeScreenBadgeInstallTag& knownTag,
                                                 const HomeScreenBadgeKeychainItem& item,
                                                 CounterPlatform platform,
                                                 const HomeScreenBadgeEnvironment& env) {
  return incrementBadgeCountWithReason(knownTag, item, platform, env).count;
}

BadgeIncrement incrementBadgeCountWithReason(const HomeScreenBadgeInstallTag& knownTag,
                                             const HomeScreenBadgeKeychainItem& item,
                                             CounterPlatform platform,
                                             const HomeScreenBadgeEnvironment& env) {
  std::uint32_t next = 0;
  BadgeOutcome refusal = BadgeOutcome::kCounted;
  BadgeRecordSwap swap = swapBadgeRecord(
      item, platform, [&](const std::optional<ByteString>& current) -> std::optional<ByteString> {
        // A counter switched off or handed to another installation, now or by a writer since the
        // last attempt, is never touched.
        JudgedRecord judged = judgeRecord(current, knownTag, env);
        if (!judged.owned) {
          refusal = judged.refusal;
          return std::nullopt;
        }
        const std::uint32_t count = judged.owned->count;
        next = count == std::numeric_limits<std::uint32_t>::max() ? count : count + 1;
        // The tag decoded from the record, with its resolved count mask, is written back.
        return encodeBadgeRecord({true, next, judged.owned->installTag}, env);
      });
  if (swap.end == SwapEnd::kWritten) return {next, {BadgeOutcome::kCounted, errSecSuccess}};
  if (std::optional<BadgeOutcomeReason> reason = keychainReasonOf(swap)) {
    return {std::nullopt, *reason};
  }
  return {std::nullopt, {refusal, errSecSuccess}};
}

}  // namespace quenlarch
