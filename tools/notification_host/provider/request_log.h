// The provider endpoint's account of its requests. Each refused request is one line on serve's
// standard error: the status, the reason, its apns-id (if it gave one) and the cause in words;
// serve's note limit (diagnostics.h) holds a flood of one reason to a few lines a second and counts
// the rest. With --request-log FILE every request, taken or refused, is also one JSON line in FILE:
//   {"timeMs", "method", "path", "apnsId", "topic", "pushType", "bytes", "status",
//    "reason", "cause"}            reason and cause only for a refusal; absent headers are null
// The file is written without blocking: lines wait in a bounded buffer while the file takes no
// more (a pipe nobody reads), and those past the buffer are counted and said on stderr.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"
#include "tools/notification_host/provider/provider_endpoint.h"

namespace quenlarch::notification_host::provider {

// What the log keeps of a request, taken before the endpoint consumes it.
struct RequestSummary {
  std::string method;
  std::string path;
  std::optional<std::string> apnsId;  // as the request gave it
  std::optional<std::string> topic;
  std::optional<std::string> pushType;
  std::size_t bytes = 0;
};
RequestSummary summarize(const ProviderRequest& request);

class RequestLog {
 public:
  using Note = std::function<void(std::string_view line)>;
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  static constexpr std::size_t kMaxPendingBytes = 1 << 20;

  // `path` none: refusals on stderr only. One line when FILE cannot be opened for writing.
  static Expected<std::unique_ptr<RequestLog>> open(
      const std::optional<std::string>& path, Note note,
      Clock clock = [] { return std::chrono::system_clock::now(); });
  ~RequestLog();  // writes what it can of the rest and says what was lost
  RequestLog(const RequestLog&) = delete;
  RequestLog& operator=(const RequestLog&) = delete;

  void record(const RequestSummary& request, const ProviderAnswer& answer);

 private:
  RequestLog(int fd, std::string path, Note note, Clock clock);
  void noteRefusal(const RequestSummary& request, const ProviderAnswer& answer);
  void flush();

  int fd_;  // -1 without a file
  std::string path_;
  Note note_;
  Clock clock_;
  std::string pending_;
  std::size_t lost_ = 0;
  bool failed_ = false;
};

}  // namespace quenlarch::notification_host::provider
