// PushContent copies.
#include "platform/linux/push_content.h"

namespace quenlarch {

PushContent::PushContent(PlistValue userInfo, std::optional<std::int64_t> badge,
                         PlistValue displayFields)
    : userInfo_(std::move(userInfo)), badge_(badge), displayFields_(std::move(displayFields)) {}

std::shared_ptr<NotificationContent> PushContent::mutableCopy() const {
  return std::make_shared<PushContent>(userInfo_, badge_, displayFields_);
}

}  // namespace quenlarch
