// The notification host's content objects, as the extension sees them. Contents are shared,
// reference-counted and immutable once handed around; `mutableCopy` gives a fresh object that may
// or may not be a MutableNotificationContent (callers check, as on the device).
// Thread safety: a content that is no longer being mutated may be read from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/plist_value.h"

namespace quenlarch {

class NotificationContent;
using ContentRef = std::shared_ptr<const NotificationContent>;

class NotificationContent {
 public:
  virtual ~NotificationContent() = default;
  NotificationContent(const NotificationContent&) = delete;
  NotificationContent& operator=(const NotificationContent&) = delete;

  // The push payload: a dictionary whose keys are values of any type.
  virtual const PlistValue& userInfo() const = 0;
  // The badge number the content carries, or none. 0 is a badge.
  virtual std::optional<std::int64_t> badge() const = 0;
  // A new content with every field equal to this one's.
  virtual std::shared_ptr<NotificationContent> mutableCopy() const = 0;

 protected:
  NotificationContent() = default;
};

class MutableNotificationContent : public NotificationContent {
 public:
  // The badge as an unsigned 32-bit number; every other field stays as it is.
  virtual void setBadge(std::uint32_t badge) = 0;
};

// One notification as the host hands it over. Asking for `content` again gives the same object.
struct NotificationRequest {
  std::string identifier;
  ContentRef content;
};

// The host's completion handler: takes the content to show. It may be copied, kept and called
// later from any thread; the host expects it to be called once.
using ContentHandler = std::function<void(ContentRef)>;

}  // namespace quenlarch
