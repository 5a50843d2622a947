// The engine's vocabulary, apart from the command line that fills it: the clock it schedules by,
// how the extension is started, and what it hands back for each push.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/linux/push_content.h"
#include "tools/notification_host/engine/clock.h"

namespace quenlarch::notification_host {

struct Shown {
  std::shared_ptr<const PushContent> content;
  bool byExtension = false;  // false: the host showed the content as received
  // The extension's log entries for the push (how its badge work ended), oldest first; the host's
  // own "time limit passed" when it showed the push after the time limit without one.
  std::vector<host_protocol::LogEntry> log = {};
};

struct ExtensionLaunch {
  std::string executable;
  // When set, the extension's QUENLARCH_KEYCHAIN; otherwise the host's environment passes through.
  std::optional<std::string> keychain;
};

}  // namespace quenlarch::notification_host
