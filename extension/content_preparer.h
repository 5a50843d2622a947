// The content preparer: decides the content to deliver for a request. It never fails and always
// returns a content; when nothing applies it returns the request's content unchanged. It may block
// its thread for a while (keychain retries).
#pragma once

#include "platform/notification_content.h"

namespace quenlarch {

// Thread safety: one preparer serves every request in flight, so implementations may be called
// from several threads at once.
class ContentPreparer {
 public:
  virtual ~ContentPreparer() = default;
  ContentPreparer(const ContentPreparer&) = delete;
  ContentPreparer& operator=(const ContentPreparer&) = delete;

  virtual ContentRef prepareContent(const NotificationRequest& request) = 0;

 protected:
  ContentPreparer() = default;
};

// Delivers every request's content as it arrived.
class PassThroughPreparer final : public ContentPreparer {
 public:
  ContentRef prepareContent(const NotificationRequest& request) override { return request.content; }
};

}  // namespace quenlarch
