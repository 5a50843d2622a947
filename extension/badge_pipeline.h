// The badge pipeline: the content preparer of the extension. For a counted notification it
// increments the shared counter; whenever the content it would deliver carries a badge, it replaces
// that badge with the count stored for this installation, read back from the keychain (so if
// another writer moved the counter meanwhile, its value wins). When the record cannot be read back
// or is not this installation's, the content goes out exactly as it arrived.
//
// Each request's outcome goes to the platform's outcome log: the first thing met that kept the
// count from being counted or shown, else "counted" or "not a counted alert".
#pragma once

#include <optional>

#include "badge/badge_environment.h"
#include "badge/badge_outcomes.h"
#include "badge/counter_increment.h"
#include "badge/keychain_item.h"
#include "extension/content_preparer.h"
#include "platform/bundle.h"
#include "platform/outcome_log.h"

namespace quenlarch {

class BadgePipeline final : public ContentPreparer {
 public:
  // All references must outlive the pipeline.
  BadgePipeline(const Bundle& mainBundle, CounterPlatform platform,
                const HomeScreenBadgeEnvironment& env, OutcomeLog& outcomeLog);

  ContentRef prepareContent(const NotificationRequest& request) override;

  // The request's content with the incremented count as its badge, or the request's content when
  // the notification does not count, there is no item, or the increment fails.
  ContentRef contentWithIncrementedBadge(const NotificationRequest& request,
                                         const std::optional<HomeScreenBadgeKeychainItem>& item,
                                         const HomeScreenBadgeInstallTag& tag);

  // REQUIRES: candidate carries a badge. A copy of candidate with the stored count as its badge
  // when the record is enabled for this installation; `received` otherwise.
  ContentRef stampStoredBadge(const ContentRef& candidate, const ContentRef& received,
                              const std::optional<HomeScreenBadgeKeychainItem>& item,
                              const HomeScreenBadgeInstallTag& tag);

 private:
  // A step's content and why it came out so: kCounted or kNotCounted when nothing stood in the way.
  struct Step {
    ContentRef content;
    BadgeOutcomeReason reason;
  };
  Step incrementStep(const NotificationRequest& request,
                     const std::optional<HomeScreenBadgeKeychainItem>& item,
                     const HomeScreenBadgeInstallTag& tag);
  Step stampStep(const ContentRef& candidate, const ContentRef& received,
                 const std::optional<HomeScreenBadgeKeychainItem>& item,
                 const HomeScreenBadgeInstallTag& tag);
  ContentRef logged(ContentRef content, const BadgeOutcomeReason& reason);

  const Bundle& mainBundle_;
  CounterPlatform platform_;
  const HomeScreenBadgeEnvironment& env_;
  OutcomeLog& outcomeLog_;
};

}  // namespace quenlarch
