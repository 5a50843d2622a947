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

}  // namespace

BadgePipeline::BadgePipeline(const Bundle& mainBundle, CounterPlatform platform,
                             const HomeScreenBadgeEnvironment& env)
    : mainBundle_(mainBundle), platform_(platform), env_(env) {}

ContentRef BadgePipeline::prepareContent(const NotificationRequest& request) {
  const HomeScreenBadgeInstallTag& tag = env_.currentInstallTag();
  // A push that neither counts nor carries a badge goes out as it came whatever the item; skipping
  // the Info.plist lookup keeps the most common push as cheap as with no configuration at all.
  if (!request.content->badge() && !isCountedNotification(request.content->userInfo())) {
    return request.content;
  }
  const std::optional<HomeScreenBadgeKeychainItem> item = badgeKeychainItem(mainBundle_);
  ContentRef candidate = contentWithIncrementedBadge(request, item, tag);
  if (!candidate->badge()) return candidate;
  return stampStoredBadge(candidate, request.content, item, tag);
}

ContentRef BadgePipeline::contentWithIncrementedBadge(
    const NotificationRequest& request, const std::optional<HomeScreenBadgeKeychainItem>& item,
    const HomeScreenBadgeInstallTag& tag) {
  if (!item || !isCountedNotification(request.content->userInfo())) return request.content;
  // The copy is made before the increment so that an unusable copy costs no count.
  std::shared_ptr<MutableNotificationContent> copy = mutableCopyOf(*request.content);
  if (!copy) return request.content;
  std::optional<std::uint32_t> count = incrementBadgeCount(tag, *item, platform_, env_);
  if (!count) return request.content;
  copy->setBadge(*count);
  return copy;
}

ContentRef BadgePipeline::stampStoredBadge(const ContentRef& candidate, const ContentRef& received,
                                           const std::optional<HomeScreenBadgeKeychainItem>& item,
                                           const HomeScreenBadgeInstallTag& tag) {
  if (!item) return received;
  std::optional<ByteString> data = readBadgeRecordData(*item, platform_.keychain);
  if (!data) return received;
  std::optional<HomeScreenBadgeState> state = decodeBadgeRecord(*data, tag, env_);
  if (!state || !isOwnedByInstallation(*state, tag)) return received;
  std::shared_ptr<MutableNotificationContent> copy = mutableCopyOf(*candidate);
  if (!copy) return received;
  copy->setBadge(state->count);
  return copy;
}

}  // namespace quenlarch
