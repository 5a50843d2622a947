// The words of the badge outcomes.
#include "platform/outcome_log.h"

namespace quenlarch {

std::string_view badgeNoteText(BadgeOutcome outcome) {
  switch (outcome) {
    case BadgeOutcome::kCounted:
      return "counted";
    case BadgeOutcome::kNotCounted:
      return "not a counted alert";
    case BadgeOutcome::kCountingOff:
      return "counting off";
    case BadgeOutcome::kNoBadgeItem:
      return "no badge item";
    case BadgeOutcome::kNoValidRecord:
      return "no valid badge record";
    case BadgeOutcome::kOtherInstallation:
      return "item of another installation";
    case BadgeOutcome::kKeychainUnusable:
      return "keychain unusable";
    case BadgeOutcome::kGaveUp:
      return "gave up after the last try";
    case BadgeOutcome::kTimeLimitPassed:
      return "time limit passed";
  }
  return "unknown";
}

}  // namespace quenlarch
