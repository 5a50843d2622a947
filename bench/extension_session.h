// The host's side of one long-lived extension process, reduced to what the harness needs: start
// the extension, wait for "ready", hand it one request at a time and read the content it delivers,
// all over the line protocol of platform/linux/host_protocol.h.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "bench/child_process.h"
#include "platform/linux/push_content.h"

namespace quenlarch::bench {

// The content the host builds from a push payload (JSON text): the whole payload as userInfo and
// aps.badge as the badge.
std::shared_ptr<const PushContent> contentFromPayload(const std::string& payloadJson);

class ExtensionSession {
 public:
  // Starts the extension executable with QUENLARCH_KEYCHAIN=`keychain` and waits until it is
  // ready. Throws when it cannot be started or ends first.
  ExtensionSession(const std::string& executable, const std::string& keychain);

  pid_t pid() const { return process_->pid(); }

  // Sends a request and waits for its answer: the delivered badge (none when the content carries
  // none). Throws when the extension answers anything else or ends.
  std::optional<std::int64_t> push(const std::shared_ptr<const PushContent>& content);

  // Closes the extension's input and waits for it to exit; its exit status.
  int finish() { return process_->wait(); }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::uint64_t nextId_ = 1;
};

}  // namespace quenlarch::bench
