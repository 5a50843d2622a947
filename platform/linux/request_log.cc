// Per-request log entries, and the thread's current request.
#include "platform/linux/request_log.h"

#include <utility>

namespace quenlarch {
namespace {

// The request whose call runs on this thread: a request runs on one pool thread from start to
// delivery, and the pipeline reports from inside that call.
thread_local RequestLog* currentRequestLog = nullptr;

}  // namespace

void RequestLog::add(host_protocol::LogEntry entry) {
  MutexLock guard(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<host_protocol::LogEntry> RequestLog::take() {
  MutexLock guard(mutex_);
  return std::exchange(entries_, {});
}

RequestLogScope::RequestLogScope(std::shared_ptr<RequestLog> log)
    : log_(std::move(log)), previous_(std::exchange(currentRequestLog, log_.get())) {}

RequestLogScope::~RequestLogScope() { currentRequestLog = previous_; }

RequestLog* RequestLogScope::current() { return currentRequestLog; }

void HostOutcomeLog::badgeOutcome(BadgeOutcome outcome, OSStatus keychainStatus) {
  RequestLog* log = RequestLogScope::current();
  if (log == nullptr) return;
  log->add({std::string(badgeNoteText(outcome)), detail_(outcome, keychainStatus)});
}

}  // namespace quenlarch
