// The host's one console.
#include "tools/notification_host/diagnostics.h"

namespace quenlarch::notification_host {

const tools::Console& console() {
  static const tools::Console instance("notification-host");
  return instance;
}

void note(std::string_view message) { console().note(message); }

}  // namespace quenlarch::notification_host
