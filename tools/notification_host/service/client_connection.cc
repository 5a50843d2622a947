// Client connection. Every event ends in update(), which works out from the state what to wait for
// next: reading while the client may send more, writing while answers wait, and the one timer (the
// idle limit, or once stopping the drop deadline).
#include "tools/notification_host/service/client_connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "tools/notification_host/service/client_protocol.h"

namespace quenlarch::notification_host {
namespace {

namespace cp = client_protocol;

constexpr std::size_t kReadBytes = 64 * 1024;
// When the service stops, what the client has sent by then is read, up to this many reads.
constexpr int kStoppingReads = 16;
// Once stopping, how long a client has to take its last answers after they are ready.
constexpr auto kStoppingWriteGrace = std::chrono::seconds(1);

}  // namespace

Expected<std::shared_ptr<ClientConnection>> ClientConnection::open(sd_event* loop, int fd,
                                                                   Clock::duration idleLimit,
                                                                   Clock& clock, Answerer answerer,
                                                                   Closed closed) {
  std::shared_ptr<ClientConnection> connection(
      new ClientConnection(fd, idleLimit, clock, std::move(answerer), std::move(closed)));
  if (Expected<void> watched = connection->watch(loop); !watched) {
    return unexpected(watched.error());  // the destructor closes the socket
  }
  connection->update();
  return connection;
}

ClientConnection::ClientConnection(int fd, Clock::duration idleLimit, Clock& clock,
                                   Answerer answerer, Closed closed)
    : fd_(fd),
      idleLimit_(idleLimit),
      clock_(clock),
      answerer_(std::move(answerer)),
      closed_(std::move(closed)),
      lines_(cp::kMaxClientLineBytes),
      lastActivity_(clock.now()) {}

Expected<void> ClientConnection::watch(sd_event* loop) {
  auto io = EventSource::io(
      loop, fd_, EPOLLIN, [this](std::uint32_t events) { ready(events); }, "client connection");
  if (!io) return unexpected(io.error());
  io_ = std::move(*io);
  auto timer = EventSource::timer(
      loop, [this] { timeUp(); }, "client time limit", clock_);
  if (!timer) return unexpected(timer.error());
  timer_ = std::move(*timer);
  return {};
}

ClientConnection::~ClientConnection() {
  io_ = EventSource();
  timer_ = EventSource();
  if (fd_ >= 0) ::close(fd_);
}

void ClientConnection::stop(Clock::time_point deadline) {
  if (closed()) return;
  const std::shared_ptr<ClientConnection> self = shared_from_this();
  stopping_ = true;
  dropAt_ = deadline;
  if (!inputEnded_ && !readInput(/*drain=*/true)) return;
  update();
}

void ClientConnection::setPaused(bool paused) {
  if (closed() || paused == paused_) return;
  const std::shared_ptr<ClientConnection> self = shared_from_this();
  paused_ = paused;
  if (!paused) lastActivity_ = clock_.now();
  update();
}

void ClientConnection::ready(std::uint32_t events) {
  const std::shared_ptr<ClientConnection> self = shared_from_this();
  if ((events & EPOLLERR) != 0) return hangUp(std::nullopt);
  const bool reading =
      !inputEnded_ && !stopping_ && !paused_ && answers_.size() < kMaxUnansweredLines;
  if (reading && (events & (EPOLLIN | EPOLLHUP)) != 0) {
    if (!readInput(/*drain=*/false)) return;
  } else if ((events & EPOLLHUP) != 0) {
    // Gone in both directions with nothing we may read now: no answer can reach it any more. Its
    // pushes in flight still run to their end.
    return hangUp(std::nullopt);
  }
  if ((events & EPOLLOUT) != 0) flush();
  update();
}

bool ClientConnection::readInput(bool drain) {
  const int reads = drain ? kStoppingReads : 1;
  for (int i = 0; i < reads && !inputEnded_; ++i) {
    char chunk[kReadBytes];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      lines_.append(std::string_view(chunk, static_cast<std::size_t>(n)));
    } else if (n == 0) {
      inputEnded_ = true;
    } else if (errno == EINTR) {
      continue;
    } else if (errno == EAGAIN) {
      break;
    } else {
      hangUp(std::nullopt);
      return false;
    }
  }
  takeLines();
  return !closed();
}

void ClientConnection::takeLines() {
  // Rounds of up to kMaxUnansweredLines lines; answers given at once free their places for the
  // next round. It ends with no complete line left, or with the places held by pushes in flight
  // (reading then pauses), so the lines read are never more than one read ahead.
  while (!closed()) {
    bool took = false;
    taking_ = true;
    while (!closed() && answers_.size() < kMaxUnansweredLines) {
      std::optional<Line> line = lines_.next();
      if (!line && inputEnded_) line = lines_.finish();
      if (!line) break;
      take(*line);
      took = true;
    }
    taking_ = false;
    if (closed()) return;
    queueAnswers();
    if (!took || answers_.size() >= kMaxUnansweredLines) return;
  }
}

void ClientConnection::take(const Line& line) {
  if (!line.oversized && blankLine(line.text)) return;
  lastActivity_ = clock_.now();
  const std::uint64_t serial = firstSerial_ + answers_.size();
  answers_.emplace_back(std::nullopt);
  if (line.oversized) {
    return answered(
        serial, cp::errorAnswer("a line longer than " + std::to_string(cp::kMaxClientLineBytes) +
                                " bytes was skipped"));
  }
  std::weak_ptr<ClientConnection> weak = weak_from_this();
  answerer_(line.text, [weak, serial](std::string answer) {
    if (std::shared_ptr<ClientConnection> self = weak.lock()) {
      self->answered(serial, std::move(answer));
    }
  });
}

void ClientConnection::answered(std::uint64_t serial, std::string answer) {
  if (closed() || serial < firstSerial_) return;
  answers_[serial - firstSerial_] = std::move(answer);
  if (taking_) return;  // takeLines() queues it when it is done
  takeLines();          // a slot is free: lines held back can go on
  update();
}

void ClientConnection::queueAnswers() {
  while (!answers_.empty() && answers_.front()) {
    std::string answer = std::move(*answers_.front());
    answers_.pop_front();
    ++firstSerial_;
    const std::size_t waiting = output_.size() - outputSent_;
    if (waiting > 0 && waiting + answer.size() + 1 > kMaxBufferedAnswerBytes) {
      return hangUp(std::nullopt);  // it does not read; nothing more could reach it in time
    }
    if (outputSent_ > 0) {
      output_.erase(0, outputSent_);
      outputSent_ = 0;
    }
    output_ += answer;
    output_ += '\n';
  }
  flush();
}

void ClientConnection::flush() {
  while (outputSent_ < output_.size()) {
    const ssize_t n = ::send(fd_, output_.data() + outputSent_, output_.size() - outputSent_,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      outputSent_ += static_cast<std::size_t>(n);
      lastActivity_ = clock_.now();
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else {
      return hangUp(std::nullopt);  // the client is gone; its pushes still run to their end
    }
  }
  output_.clear();
  outputSent_ = 0;
}

void ClientConnection::update() {
  if (closed()) return;
  const bool writing = outputSent_ < output_.size();
  if (answers_.empty() && !writing && (inputEnded_ || stopping_)) {
    // Everything it sent has been answered (a partial last line is no request).
    return hangUp(stopping_ ? std::optional<std::string_view>("the service is stopping")
                            : std::nullopt);
  }
  const bool reading =
      !inputEnded_ && !stopping_ && !paused_ && answers_.size() < kMaxUnansweredLines;
  const std::uint32_t events = (reading ? EPOLLIN : 0u) | (writing ? EPOLLOUT : 0u);
  // With no events wanted the source is off: epoll would still report a hang-up, over and over.
  if (events == 0) {
    io_.setEnabled(false);
  } else {
    io_.setIoEvents(events);
    io_.setEnabled(true);
  }
  if (stopping_) {
    if (answers_.empty()) dropAt_ = std::min(*dropAt_, clock_.now() + kStoppingWriteGrace);
    timer_.armAt(*dropAt_);
  } else if (answers_.empty() && !paused_) {
    timer_.armAt(lastActivity_ + idleLimit_);
  } else {
    timer_.disarm();
  }
}

void ClientConnection::timeUp() {
  const std::shared_ptr<ClientConnection> self = shared_from_this();
  if (stopping_) return hangUp(std::nullopt);
  if (answers_.empty() && clock_.now() >= lastActivity_ + idleLimit_) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", std::chrono::duration<double>(idleLimit_).count());
    return hangUp("closing a connection that sent no request for " + std::string(seconds) + " s");
  }
  update();
}

void ClientConnection::hangUp(std::optional<std::string_view> message) {
  if (closed()) return;
  if (message) {
    // Only when it fits at once: a client that does not read gets no more of our time.
    const std::string line = cp::errorAnswer(*message) + "\n";
    if (outputSent_ == output_.size()) {
      [[maybe_unused]] ssize_t n =
          ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
  }
  io_ = EventSource();
  timer_ = EventSource();
  ::close(fd_);
  fd_ = -1;
  answers_.clear();
  Closed tell = std::move(closed_);
  closed_ = nullptr;
  if (tell) tell(*this);
}

}  // namespace quenlarch::notification_host
