// The extension's side of the host protocol: reads the host's messages and turns each into a call
// of the principal object, each on a thread of its own, so that a time-out can overlap a request
// still being prepared, as with the real host. Deliveries and released handlers are reported back.
#pragma once

#include "platform/notification_service_extension.h"

namespace quenlarch {

// Serves until the host closes `inFd`, then waits for the calls still running. Malformed, unknown
// or oversized lines are answered with an error message and skipped. Returns 0.
int serveHostConnection(NotificationServiceExtension& extension, int inFd, int outFd);

}  // namespace quenlarch
