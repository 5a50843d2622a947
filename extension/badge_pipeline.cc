// Badge pipeline steps.
#include "extension/badge_pipeline.h"

#include "badge/badge_record.h"
#include "extension/counted_notification.h"

namespace quenlarch {
namespace {

// A copy of `content` whose badge can be set, or null when its copy is not a mutable content.
std::shared_ptr<MutableNotificationContent> mutableCopyOf(const NotificationContent& content) {
  return std::dynamic_pointer_cast<MutableNotificationContent>(content.mutableCopy());
}

bool stoodInTheWay(const BadgeOutcomeReason& reason) {
  return reason.outcome != BadgeOutcome::kCounted && reason.outcome != BadgeOutcome::kNotCounted;
}

constexpr BadgeOutcomeReason kCountedReason{BadgeOutcome::kCounted, errSecSuccess};
constexpr BadgeOutcomeReason kNotCountedReason{BadgeOutcome::kNotCounted, errSecSuccess};

}  // namespace

BadgePipeline::BadgePipeline(const Bundle& mainBundle, CounterPlatform platform,
                             const HomeScreenBadgeEnvironment& env, OutcomeLog& outcomeLog)
    : mainBundle_(mainBundle), platform_(platform), env_(env), outcomeLog_(outcomeLog) {}

ContentRef BadgePipeline::prepareContent(const NotificationRequest& request) {
  const HomeScreenBadgeInstallTag& tag = env_.currentInstallTag();
  // A push that neither counts nor carries a badge goes out as it came whatever the item; skipping
  // the Info.plist lookup keeps the most common push as cheap as with no configuration at all.
  if (!request.content->badge() && !isCountedNotification(request.content->userInfo())) {
    return logged(request.content, kNotCountedReason);
  }
  const std::optional<HomeScreenBadgeKeychainItem> item = badgeKeychainItem(mainBundle_);
  Step candidate = incrementStep(request, item, tag);
  if (!candidate.content->badge()) return logged(candidate.content, candidate.reason);
  Step stamped = stampStep(candidate.content, request.content, item, tag);
  // The first thing that stood in the way is the one to tell.
  return logged(stamped.content, stoodInTheWay(candidate.reason) || !stoodInTheWay(stamped.reason)
                                     ? candidate.reason
                                     : stamped.reason);
}

ContentRef BadgePipeline::contentWithIncrementedBadge(
    const NotificationRequest& request, const std::optional<HomeScreenBadgeKeychainItem>& item,
    const HomeScreenBadgeInstallTag& tag) {
  return incrementStep(request, item, tag).content;
}

ContentRef BadgePipeline::stampStoredBadge(const ContentRef& candidate, const ContentRef& received,
                                           const std::optional<HomeScreenBadgeKeychainItem>& item,
                                           const HomeScreenBadgeInstallTag& tag) {
  return stampStep(candidate, received, item, tag).content;
}

BadgePipeline::Step BadgePipeline::incrementStep(
    const NotificationRequest& request, const std::optional<HomeScreenBadgeKeychainItem>& item,
    const HomeScreenBadgeInstallTag& tag) {
  if (!isCountedNotification(request.content->userInfo())) {
    return {request.content, kNotCountedReason};
  }
  if (!item) return {request.content, {BadgeOutcome::kNoBadgeItem, errSecSuccess}};
  // The copy is made before the increment so that an unusable copy costs no count; such a content
  // cannot carry a badge, so for it nothing counts.
  std::shared_ptr<MutableNotificationContent> copy = mutableCopyOf(*request.content);
  if (!copy) return {request.content, kNotCountedReason};
  BadgeIncrement increment = incrementBadgeCountWithReason(tag, *item, platform_, env_);
  if (!increment.count) return {request.content, increment.reason};
  copy->setBadge(*increment.count);
  return {copy, kCountedReason};
}

BadgePipeline::Step BadgePipeline::stampStep(const ContentRef& candidate,
                                             const ContentRef& received,
                                             const std::optional<HomeScreenBadgeKeychainItem>& item,
                                             const HomeScreenBadgeInstallTag& tag) {
  if (!item) return {received, {BadgeOutcome::kNoBadgeItem, errSecSuccess}};
  BadgeRecordRead read = readBadgeRecord(*item, platform_.keychain);
  if (!read.record) return {received, whyNoRecord(read)};
  JudgedRecord judged = judgeRecord(read.record, tag, env_);
  if (!judged.owned) return {received, {judged.refusal, errSecSuccess}};
  std::shared_ptr<MutableNotificationContent> copy = mutableCopyOf(*candidate);
  if (!copy) return {received, kCountedReason};
  copy->setBadge(judged.owned->count);
  return {copy, kCountedReason};
}

ContentRef BadgePipeline::logged(ContentRef content, const BadgeOutcomeReason& reason) {
  outcomeLog_.badgeOutcome(reason.outcome, reason.keychainStatus);
  return content;
}

}  // namespace quenlarch
