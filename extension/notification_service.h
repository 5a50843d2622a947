// NotificationService: the extension's principal class. It remembers the host's completion handler
// and the content as received, asks the content preparer for the content to show, and guarantees
// that a handler is called at most once: with the prepared content, or with the content as received
// when the host's time limit strikes first.
//
// A second request replaces a still-pending handler; the replaced handler is released uncalled, and
// content prepared for the earlier request is dropped rather than shown under the later one.
#pragma once

#include <cstdint>

#include "extension/content_preparer.h"
#include "platform/mutex.h"
#include "platform/notification_service_extension.h"

namespace quenlarch {

class NotificationService final : public NotificationServiceExtension {
 public:
  // `preparer` must outlive the service.
  explicit NotificationService(ContentPreparer& preparer);
  ~NotificationService() override;

  void didReceiveNotificationRequest(const NotificationRequest& request,
                                     ContentHandler contentHandler) EXCLUDES(lock_) override;
  void serviceExtensionTimeWillExpire() EXCLUDES(lock_) override;

 private:
  // Hands `content` to the stored handler if it still belongs to request `requestNumber`.
  void deliver(ContentRef content, std::uint64_t requestNumber) EXCLUDES(lock_);

  Mutex lock_;
  ContentHandler contentHandler_ GUARDED_BY(lock_);    // empty when idle
  ContentRef original_ GUARDED_BY(lock_);              // the latest request's content as received
  std::uint64_t requestNumber_ GUARDED_BY(lock_) = 0;  // numbers the request owning the handler
  ContentPreparer& preparer_;
};

}  // namespace quenlarch
