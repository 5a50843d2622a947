// NotificationService lifecycle. Handlers are taken out of the slot under the lock and called, or
// released, only after the lock is dropped, so a handler may call back into the service.
#include "extension/notification_service.h"

#include <utility>

namespace quenlarch {

NotificationService::NotificationService(ContentPreparer& preparer) : preparer_(preparer) {}

NotificationService::~NotificationService() = default;

void NotificationService::didReceiveNotificationRequest(const NotificationRequest& request,
                                                        ContentHandler contentHandler) {
  ContentHandler replaced;
  ContentRef previousOriginal;
  std::uint64_t thisRequest = 0;
  {
    MutexLock guard(lock_);
    replaced = std::exchange(contentHandler_, std::move(contentHandler));
    previousOriginal = std::exchange(original_, request.content);
    thisRequest = ++requestNumber_;
  }
  // `replaced` and `previousOriginal` are released here, outside the lock, uncalled.
  replaced = nullptr;
  previousOriginal = nullptr;

  deliver(preparer_.prepareContent(request), thisRequest);
}

void NotificationService::serviceExtensionTimeWillExpire() {
  ContentRef original;
  std::uint64_t pending = 0;
  {
    MutexLock guard(lock_);
    original = original_;
    pending = requestNumber_;
  }
  // `original` always belongs to the latest request, which is the one owning any stored handler.
  if (original) deliver(std::move(original), pending);
}

void NotificationService::deliver(ContentRef content, std::uint64_t requestNumber) {
  ContentHandler handler;
  {
    MutexLock guard(lock_);
    if (requestNumber != requestNumber_) return;  // the handler went to a later request
    handler = std::exchange(contentHandler_, nullptr);
  }
  if (handler) handler(std::move(content));
}

}  // namespace quenlarch
