// How the badge work of a request ended, told apart from what the keychain and the stored record
// say, for the platform's outcome log (platform/outcome_log.h). The counting itself never looks
// at these: they only name the reason beside results that stay optional.
#pragma once

#include <optional>

#include "badge/badge_record.h"
#include "badge/keychain_item.h"
#include "badge/record_swap.h"
#include "platform/outcome_log.h"

namespace quenlarch {

// An outcome with the keychain's answer behind it (errSecSuccess unless kKeychainUnusable).
struct BadgeOutcomeReason {
  BadgeOutcome outcome = BadgeOutcome::kCounted;
  OSStatus keychainStatus = errSecSuccess;
};

// A stored record judged for the installation `knownTag`: its state when it is this installation's
// live counter, else why it is not (kNoValidRecord, kCountingOff or kOtherInstallation).
struct JudgedRecord {
  std::optional<HomeScreenBadgeState> owned;
  BadgeOutcome refusal = BadgeOutcome::kNoValidRecord;  // when `owned` is none
};
JudgedRecord judgeRecord(const std::optional<ByteString>& record,
                         const HomeScreenBadgeInstallTag& knownTag,
                         const HomeScreenBadgeEnvironment& env);

// Why a read of the record gave no bytes: no item, the keychain's failure, or an item without a
// record. REQUIRES: the read gave no record.
BadgeOutcomeReason whyNoRecord(const BadgeRecordRead& read);

// Why a swap wrote nothing, when the keychain is the reason: no item, every race lost, or the
// keychain's failure. None when the swap succeeded or its transform declined (the caller knows
// why it declined).
std::optional<BadgeOutcomeReason> keychainReasonOf(const BadgeRecordSwap& swap);

}  // namespace quenlarch
