// Badge outcomes from records, reads and swaps.
#include "badge/badge_outcomes.h"

namespace quenlarch {

JudgedRecord judgeRecord(const std::optional<ByteString>& record,
                         const HomeScreenBadgeInstallTag& knownTag,
                         const HomeScreenBadgeEnvironment& env) {
  if (!record) return {std::nullopt, BadgeOutcome::kNoValidRecord};
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*record, knownTag, env);
  if (!state) return {std::nullopt, BadgeOutcome::kNoValidRecord};
  if (!state->isEnabled) return {std::nullopt, BadgeOutcome::kCountingOff};
  if (!isOwnedByInstallation(*state, knownTag)) {
    return {std::nullopt, BadgeOutcome::kOtherInstallation};
  }
  return {std::move(state), BadgeOutcome::kCounted};
}

BadgeOutcomeReason whyNoRecord(const BadgeRecordRead& read) {
  if (read.noItem()) return {BadgeOutcome::kNoBadgeItem, errSecSuccess};
  if (read.status != errSecSuccess) return {BadgeOutcome::kKeychainUnusable, read.status};
  return {BadgeOutcome::kNoValidRecord, errSecSuccess};
}

std::optional<BadgeOutcomeReason> keychainReasonOf(const BadgeRecordSwap& swap) {
  switch (swap.end) {
    case SwapEnd::kWritten:
    case SwapEnd::kLeftAsItWas:
      return std::nullopt;
    case SwapEnd::kNoItem:
      return BadgeOutcomeReason{BadgeOutcome::kNoBadgeItem, errSecSuccess};
    case SwapEnd::kLostEveryRace:
      return BadgeOutcomeReason{BadgeOutcome::kGaveUp, errSecSuccess};
    case SwapEnd::kKeychainFailed:
      break;
  }
  return BadgeOutcomeReason{BadgeOutcome::kKeychainUnusable, swap.status};
}

}  // namespace quenlarch
