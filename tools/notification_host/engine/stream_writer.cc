// Stream writer. Lines go out with writev, a batch at a time; a line counts as written once its
// last byte (the newline) has.
#include "tools/notification_host/engine/stream_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quenlarch::notification_host {
namespace {

constexpr std::size_t kLinesPerWrite = 64;

}  // namespace

Expected<std::unique_ptr<StreamWriter>> StreamWriter::open(sd_event* loop, int fd,
                                                           std::string_view description,
                                                           Limits limits) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return unexpected(std::string(description) + ": " + std::strerror(errno));
  }
  Mode mode = Mode::kDirect;
  int ownFd = -1;
  if (S_ISSOCK(st.st_mode)) {
    mode = Mode::kSocket;
  } else if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    // O_NONBLOCK set on the shared description would reach the shell that handed us the stream.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    ownFd = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (ownFd >= 0) mode = Mode::kPollable;
  }
  std::unique_ptr<StreamWriter> writer(new StreamWriter(fd, ownFd, mode, limits));
  if (mode == Mode::kDirect) return writer;
  auto writable = EventSource::io(
      loop, writer->target(), EPOLLOUT, [raw = writer.get()](std::uint32_t) { raw->flush(); },
      description);
  if (!writable) {
    // Nothing epoll can watch (a device like /dev/null): written directly, as a file is.
    if (ownFd >= 0) ::close(ownFd);
    writer->ownFd_ = -1;
    writer->mode_ = Mode::kDirect;
    return writer;
  }
  writer->writable_ = std::move(*writable);
  writer->writable_.setEnabled(false);
  return writer;
}

StreamWriter::~StreamWriter() {
  writable_ = EventSource();
  if (ownFd_ >= 0) ::close(ownFd_);
}

void StreamWriter::write(std::string_view line) {
  if (!failure_.empty() || queuedBytes_ + line.size() + 1 > limits_.maxQueuedBytes) {
    if (failure_.empty())
      failure_ = "more output waiting than " + std::to_string(limits_.maxQueuedBytes) + " bytes";
    ++lost_;
    return;
  }
  std::string queued;
  queued.reserve(line.size() + 1);
  queued.append(line);
  queued += '\n';
  queuedBytes_ += queued.size();
  lines_.push_back(std::move(queued));
  if (!writable_ || !writable_.armed()) flush();
  updateBacklog();
}

ssize_t StreamWriter::writeSome() {
  iovec parts[kLinesPerWrite];
  std::size_t count = 0;
  for (auto it = lines_.begin(); it != lines_.end() && count < kLinesPerWrite; ++it, ++count) {
    const std::size_t skip = count == 0 ? frontSent_ : 0;
    parts[count] = iovec{it->data() + skip, it->size() - skip};
  }
  if (mode_ == Mode::kSocket) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    return ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  return ::writev(target(), parts, static_cast<int>(count));
}

void StreamWriter::flush() {
  while (!lines_.empty() && failure_.empty()) {
    const ssize_t n = writeSome();
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (writable_) writable_.setEnabled(true);
      return updateBacklog();
    }
    if (n <= 0) return fail(n < 0 ? errno : EIO);
    auto sent = static_cast<std::size_t>(n);
    queuedBytes_ -= sent;
    while (sent > 0) {
      const std::size_t rest = lines_.front().size() - frontSent_;
      if (sent < rest) {
        frontSent_ += sent;
        break;
      }
      sent -= rest;
      lines_.pop_front();
      frontSent_ = 0;
      ++written_;
    }
  }
  if (writable_) writable_.setEnabled(false);
  updateBacklog();
}

void StreamWriter::fail(int error) {
  failure_ = std::strerror(error);
  lost_ += lines_.size();
  lines_.clear();
  frontSent_ = 0;
  queuedBytes_ = 0;
  if (writable_) writable_.setEnabled(false);
  updateBacklog();
}

void StreamWriter::updateBacklog() {
  const bool wasBehind = behind_;
  if (queuedBytes_ > limits_.backlogBytes) behind_ = true;
  if (queuedBytes_ <= limits_.backlogBytes / 2) behind_ = false;
  if (behind_ != wasBehind && backlogChanged_) backlogChanged_(behind_);
}

bool StreamWriter::finish(std::chrono::steady_clock::time_point deadline) {
  while (!lines_.empty() && failure_.empty()) {
    flush();
    if (lines_.empty() || !failure_.empty()) break;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      failure_ = "the reader took no more before the exit";
      lost_ += lines_.size();
      lines_.clear();
      queuedBytes_ = 0;
      break;
    }
    pollfd ready{target(), POLLOUT, 0};
    ::poll(&ready, 1, static_cast<int>(std::min<long>(left.count(), 1000)));
  }
  return lost_ == 0;
}

}  // namespace quenlarch::notification_host
