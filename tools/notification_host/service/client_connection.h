// One client connection inside the service: reads the client's lines, runs each push through the
// warm extension, shows it through the service's display and writes exactly one answer per line,
// in order.
#pragma once

#include <atomic>

#include "tools/notification_host/service/service_display.h"
#include "tools/notification_host/service/warm_extension.h"

namespace quenlarch::notification_host {

// Serves connection `fd` until the client hangs up, or until the service shuts the connection's
// reading side to stop (`stopping` is then set), answering the lines already sent first. A client
// that is gone does not stop its push: the push runs to its end and only the answer is dropped.
// Does not close `fd`.
void serveClient(int fd, WarmExtension& extension, ServiceDisplay& display,
                 const std::atomic<bool>& stopping);

// Writes `line` and a newline without raising SIGPIPE and without waiting for room; for the
// one-line refusals sent before hanging up.
void refuseClient(int fd, std::string_view message);

}  // namespace quenlarch::notification_host
