// RequestLog: a non-blocking descriptor opened for appending; every record() tries to write what
// waits, so the file catches up with the next request once it takes bytes again.
#include "tools/notification_host/provider/request_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

namespace quenlarch::notification_host::provider {
namespace {

std::optional<std::string> headerValue(const ProviderRequest& request, std::string_view name) {
  for (const push::HeaderField& field : request.headers) {
    if (field.name == name) return field.value;
  }
  return std::nullopt;
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

std::string reasonOf(const ProviderAnswer& answer) {
  auto body = nlohmann::json::parse(answer.body, nullptr, /*allow_exceptions=*/false);
  return body.is_object() ? body.value("reason", "") : "";
}

}  // namespace

RequestSummary summarize(const ProviderRequest& request) {
  return {request.method,
          request.path,
          headerValue(request, "apns-id"),
          headerValue(request, "apns-topic"),
          headerValue(request, "apns-push-type"),
          request.body.size()};
}

Expected<std::unique_ptr<RequestLog>> RequestLog::open(const std::optional<std::string>& path,
                                                       Note note, Clock clock) {
  int fd = -1;
  if (path) {
    fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
      return unexpected("cannot write the request log " + *path + ": " + std::strerror(errno));
    }
  }
  return std::unique_ptr<RequestLog>(
      new RequestLog(fd, path.value_or(""), std::move(note), std::move(clock)));
}

RequestLog::RequestLog(int fd, std::string path, Note note, Clock clock)
    : fd_(fd), path_(std::move(path)), note_(std::move(note)), clock_(std::move(clock)) {}

RequestLog::~RequestLog() {
  if (fd_ < 0) return;
  flush();
  lost_ += static_cast<std::size_t>(std::count(pending_.begin(), pending_.end(), '\n'));
  if (lost_ > 0) note_("the request log " + path_ + " lost " + std::to_string(lost_) + " lines");
  ::close(fd_);
}

void RequestLog::record(const RequestSummary& request, const ProviderAnswer& answer) {
  if (answer.status != 200) noteRefusal(request, answer);
  if (fd_ < 0 || failed_) return;
  const auto now = clock_();
  nlohmann::ordered_json line;
  line["timeMs"] =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  line["method"] = request.method;
  line["path"] = request.path;
  line["apnsId"] = answer.apnsId;
  line["topic"] = optionalText(request.topic);
  line["pushType"] = optionalText(request.pushType);
  line["bytes"] = request.bytes;
  line["status"] = answer.status;
  if (answer.status != 200) {
    line["reason"] = reasonOf(answer);
    line["cause"] = answer.cause;
  }
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (pending_.size() + text.size() > kMaxPendingBytes) {
    ++lost_;
  } else {
    pending_ += text;
  }
  flush();
}

void RequestLog::noteRefusal(const RequestSummary& request, const ProviderAnswer& answer) {
  // The status and reason come before the first ':', so that serve's note limit counts each
  // reason apart.
  note_("provider request refused with " + std::to_string(answer.status) + " " + reasonOf(answer) +
        (request.apnsId ? " (apns-id " + *request.apnsId + ")" : "") + ": " + answer.cause);
}

void RequestLog::flush() {
  while (!pending_.empty()) {
    const ssize_t written = ::write(fd_, pending_.data(), pending_.size());
    if (written > 0) {
      pending_.erase(0, static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // tried again later
    failed_ = true;
    note_("cannot write the request log " + path_ + ": " +
          (written < 0 ? std::strerror(errno) : "nothing written") + "; it stops here");
    pending_.clear();
    return;
  }
}

}  // namespace quenlarch::notification_host::provider
