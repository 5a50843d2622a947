// The extension's log on Linux: entries are gathered per request and travel to the host with that
// request's answer (host_protocol.h, "log"), as the platform's unified log ties an extension's
// entries to the activity they were made in. The runtime opens a RequestLogScope around each
// request's call; HostOutcomeLog, the OutcomeLog the principal class is given, files each entry
// under the scope open on the calling thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/host_protocol.h"
#include "platform/mutex.h"
#include "platform/outcome_log.h"

namespace quenlarch {

// The entries of one request. Thread safety: any thread may add or take.
class RequestLog {
 public:
  void add(host_protocol::LogEntry entry) EXCLUDES(mutex_);
  // The entries so far, oldest first; the log is empty afterwards.
  std::vector<host_protocol::LogEntry> take() EXCLUDES(mutex_);

 private:
  Mutex mutex_;
  std::vector<host_protocol::LogEntry> entries_ GUARDED_BY(mutex_);
};

// While it lives, entries made on this thread go to `log`. Scopes nest; the innermost wins.
class RequestLogScope {
 public:
  explicit RequestLogScope(std::shared_ptr<RequestLog> log);
  ~RequestLogScope();
  RequestLogScope(const RequestLogScope&) = delete;
  RequestLogScope& operator=(const RequestLogScope&) = delete;

  // The log of the scope open on this thread; null outside every scope.
  static RequestLog* current();

 private:
  std::shared_ptr<RequestLog> log_;
  RequestLog* previous_;
};

class HostOutcomeLog final : public OutcomeLog {
 public:
  // `detail` gives what an entry adds after its note, if anything, from the outcome and the
  // keychain's status: the store's problem of a "keychain unusable" entry, in words, or why there
  // is no badge item (a keychain file that does not exist).
  using Detail = std::function<std::optional<std::string>(BadgeOutcome, OSStatus)>;
  explicit HostOutcomeLog(Detail detail) : detail_(std::move(detail)) {}

  // Outside every scope there is no request to tell, and the entry is dropped.
  void badgeOutcome(BadgeOutcome outcome, OSStatus keychainStatus) override;

 private:
  const Detail detail_;
};

}  // namespace quenlarch
