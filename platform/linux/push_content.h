// The Linux stand-in for the host's notification content: the payload (`userInfo`), an optional
// badge, and the displayed fields the extension never reads (title, body, sound, category, thread,
// attachments, ...), kept as one dictionary so that every copy carries them through unchanged.
#pragma once

#include "platform/notification_content.h"

namespace quenlarch {

class PushContent final : public MutableNotificationContent {
 public:
  PushContent(PlistValue userInfo, std::optional<std::int64_t> badge, PlistValue displayFields);

  const PlistValue& userInfo() const override { return userInfo_; }
  std::optional<std::int64_t> badge() const override { return badge_; }
  std::shared_ptr<NotificationContent> mutableCopy() const override;
  void setBadge(std::uint32_t badge) override { badge_ = badge; }

  const PlistValue& displayFields() const { return displayFields_; }

 private:
  PlistValue userInfo_;
  std::optional<std::int64_t> badge_;
  PlistValue displayFields_;
};

}  // namespace quenlarch
