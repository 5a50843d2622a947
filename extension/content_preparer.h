// The content preparer: decides the content to deliver for a request. It never fails and always
// returns a content; when nothing applies it returns the request's content unchanged. It may block
// its thread for a while (keychain retries).
#pragma once

#include "platform/notification_content.h"

namespace quenlarch {

class ContentPreparer {
 public:
  virtual ~ContentPreparer() = default;
  virtual ContentRef prepareContent(const NotificationRequest& request) = 0;
};

// Delivers every request's content as it arrived.
class PassThroughPreparer final : public ContentPreparer {
 public:
  ContentRef prepareContent(const NotificationRequest& request) override {
    return request.content;
  }
};

}  // namespace quenlarch
