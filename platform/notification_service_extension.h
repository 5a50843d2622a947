// The base class of a notification service extension's principal class: the two callbacks the
// host makes. The host may call them on different threads, and may call
// `serviceExtensionTimeWillExpire` while `didReceiveNotificationRequest` is still running.
#pragma once

#include "platform/notification_content.h"

namespace quenlarch {

class NotificationServiceExtension {
 public:
  virtual ~NotificationServiceExtension() = default;
  NotificationServiceExtension(const NotificationServiceExtension&) = delete;
  NotificationServiceExtension& operator=(const NotificationServiceExtension&) = delete;

  // Returns after the delivery attempt for this request; the handler is called at most once.
  virtual void didReceiveNotificationRequest(const NotificationRequest& request,
                                             ContentHandler contentHandler) = 0;
  // The host's time limit is near: deliver now if nothing was delivered yet.
  virtual void serviceExtensionTimeWillExpire() = 0;

 protected:
  NotificationServiceExtension() = default;
};

}  // namespace quenlarch
