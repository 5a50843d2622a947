// The platform's log of an extension's decisions, narrowed to the one thing the badge service
// says there: how each request's badge work ended. The logic names the outcome; the platform
// decides where the entry goes (on Linux the runtime sends it to the host with the request's
// answer). The extension keeps no log of its own.
// Thread safety: implementations may be called from several threads at once.
#pragma once

#include <string_view>

#include "platform/keychain.h"

namespace quenlarch {

enum class BadgeOutcome {
  kCounted,            // the counter was incremented and its stored count is the badge
  kNotCounted,         // the push does not count; a badge it carried got the stored count
  kCountingOff,        // the record says counting is switched off
  kNoBadgeItem,        // no badge item: none configured, or none in the keychain
  kNoValidRecord,      // the item holds no record the codec accepts
  kOtherInstallation,  // the record belongs to another installation of the app
  kKeychainUnusable,   // the keychain refused or failed; the platform adds why
  kGaveUp,             // every attempt of the increment lost its race with other writers
  kTimeLimitPassed,    // the host showed the push when its time ran out (the host's to say)
};

// The words for an outcome, as they appear where people read them ("counted", "counting off").
std::string_view badgeNoteText(BadgeOutcome outcome);

class OutcomeLog {
 public:
  virtual ~OutcomeLog() = default;
  OutcomeLog(const OutcomeLog&) = delete;
  OutcomeLog& operator=(const OutcomeLog&) = delete;

  // Records how the badge work of the request being prepared ended; called once per request, on
  // the thread of its didReceiveNotificationRequest, before its content is delivered. With
  // kKeychainUnusable, `keychainStatus` is what the keychain answered (errSecSuccess otherwise),
  // from which the platform tells the store's problem.
  virtual void badgeOutcome(BadgeOutcome outcome, OSStatus keychainStatus) = 0;

 protected:
  OutcomeLog() = default;
};

}  // namespace quenlarch
