// A push as every front of the host reads it: a bare payload or an envelope with request headers,
// checked against the header rules and the payload rules of its push type, and turned into the
// content the extension and the presenter see.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "platform/linux/push_content.h"
#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host {

struct AcceptedPush {
  push::PushHeaders headers;
  std::shared_ptr<const PushContent> content;
};

// What `topic` is checked against: the app's CFBundleIdentifier; empty when it has none.
std::string bundleIdentifier(const std::string& appPath);

// Reads `text` for the app `bundleId`. Refused with the provider API's reason names: a header
// (BadPriority, BadCollapseId, ...), the push type against the payload (InvalidPushType), the
// size for the push type (PayloadTooLarge), and a payload with no content to run (BadPayload).
// With `checkTopic` false the topic is left unchecked, for a client that does not know the app.
Expected<AcceptedPush, push::PushRefusal> acceptPush(std::string_view text,
                                                     const std::string& bundleId,
                                                     bool checkTopic = true);

// "apns-priority: BadPriority (apns-priority \"7\" is not 10, 5 or 1)", or without the header
// for a refusal of the payload as a whole.
std::string refusalText(const push::PushRefusal& refusal);

}  // namespace quenlarch::notification_host
