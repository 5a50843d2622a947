// A connection's states, its socket turns and its one deadline. The timer is not moved on every
// request frame: when it fires early it is set again for the deadline as it then stands.
#include "tools/notification_host/provider/http2_connection.h"

#include <sys/epoll.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace quenlarch::notification_host::provider {
namespace {

constexpr std::size_t kRecordBytes = 16 * 1024;  // one TLS record: nothing stays inside OpenSSL
constexpr std::size_t kOutputChunkBytes = 64 * 1024;
constexpr std::string_view kClientPreface(NGHTTP2_CLIENT_MAGIC, NGHTTP2_CLIENT_MAGIC_LEN);

}  // namespace

std::string_view describe(ConnectionEnd end) {
  switch (end) {
    case ConnectionEnd::kHandshakeFailed:
      return "the TLS handshake failed";
    case ConnectionEnd::kHandshakeDeadline:
      return "no TLS handshake within the handshake time-out";
    case ConnectionEnd::kNotHttp2:
      return "no ALPN and no HTTP/2 client preface";
    case ConnectionEnd::kIdle:
      return "no request within the idle time-out";
    case ConnectionEnd::kEvicted:
      return "every connection slot was taken, and this one had been idle longest";
    case ConnectionEnd::kStopped:
      return "the service is stopping";
    case ConnectionEnd::kDrained:
      return "drained";
    case ConnectionEnd::kClosed:
      return "closed";
  }
  return "closed";
}

std::unique_ptr<Http2Connection> Http2Connection::start(int fd, std::string peer, SSL_CTX* tls,
                                                        sd_event* event,
                                                        const ProviderLimits& limits,
                                                        const Answerer& answerer, Finished finished,
                                                        Clock& clock) {
  std::unique_ptr<Http2Connection> connection(
      new Http2Connection(fd, std::move(peer), limits, answerer, std::move(finished), clock));
  if (!connection->setUp(tls, event)) return nullptr;
  return connection;
}

Http2Connection::Http2Connection(int fd, std::string peer, const ProviderLimits& limits,
                                 const Answerer& answerer, Finished finished, Clock& clock)
    : tls_(fd),
      peer_(std::move(peer)),
      limits_(limits),
      answerer_(answerer),
      finished_(std::move(finished)),
      clock_(clock),
      acceptedAt_(clock.now()),
      idleSince_(acceptedAt_) {}

bool Http2Connection::setUp(SSL_CTX* tls, sd_event* event) {
  if (!tls_.setUp(tls)) return false;
  auto io = EventSource::io(
      event, tls_.fd(), EPOLLIN, [this](std::uint32_t) { onIo(); }, "provider connection");
  auto timer = EventSource::timer(
      event, [this] { onDeadline(); }, "provider connection deadline", clock_);
  if (!io || !timer) return false;
  io_ = std::move(*io);
  timer_ = std::move(*timer);
  timer_.armAt(deadline());
  return true;
}

Http2Connection::Time Http2Connection::deadline() const {
  const Time due = state_ == State::kHandshake ? acceptedAt_ + limits_.handshakeTimeout
                                               : idleSince_ + limits_.idleTimeout;
  return drainBy_ ? std::min(due, *drainBy_) : due;
}

void Http2Connection::onIo() {
  if (state_ == State::kHandshake) {
    handshake();
  } else {
    readInput();
    writeOutput();
  }
  settle();
}

void Http2Connection::onDeadline() {
  if (state_ == State::kFinished) return;
  const Time due = deadline();
  if (clock_.now() < due) return timer_.armAt(due);
  if (drainBy_ && clock_.now() >= *drainBy_) {
    if (session_) session_->answerWaitingStreams();
    writeOutput();  // one try: a client that does not read is not waited for
    return finish(ConnectionEnd::kStopped);
  }
  if (state_ == State::kHandshake) return finish(ConnectionEnd::kHandshakeDeadline);
  if (session_) {
    session_->goAway();
    writeOutput();
  }
  finish(ConnectionEnd::kIdle);
}

void Http2Connection::handshake() {
  switch (tls_.handshake()) {
    case TlsSocket::Step::kWaiting:
      return;
    case TlsSocket::Step::kFailed:
      return finish(ConnectionEnd::kHandshakeFailed);
    case TlsSocket::Step::kDone:
      break;
  }
  idleSince_ = clock_.now();
  if (tls_.choseH2()) {
    if (!openSession()) return finish(ConnectionEnd::kClosed);
  } else {
    state_ = State::kPreface;
  }
  timer_.armAt(deadline());
  readInput();  // the client's first bytes may have come with its last handshake message
  writeOutput();
}

bool Http2Connection::openSession() {
  session_ = Http2Session::open(
      limits_, answerer_, [this] { idleSince_ = clock_.now(); },
      std::make_shared<const ClientCertificate>(tls_.clientCertificate()));
  if (!session_) return false;
  state_ = State::kOpen;
  return true;
}

void Http2Connection::readInput() {
  std::array<std::uint8_t, kRecordBytes> buffer;
  std::size_t budget = limits_.inputPerTurnBytes;
  // No input while output waits for the socket: answers cannot pile up for a client that does
  // not read them.
  while ((state_ == State::kOpen || state_ == State::kPreface) && budget > 0 &&
         outputSent_ == output_.size()) {
    const int n = tls_.read(buffer.data(), buffer.size());
    if (n == 0) return;
    if (n < 0) return finish(ConnectionEnd::kClosed);  // the peer hung up, or TLS failed
    budget -= std::min(budget, static_cast<std::size_t>(n));
    consume(buffer.data(), static_cast<std::size_t>(n));
    writeOutput();
  }
}

void Http2Connection::consume(const std::uint8_t* data, std::size_t length) {
  if (state_ == State::kPreface) {
    preface_.append(reinterpret_cast<const char*>(data), length);
    const std::size_t compared = std::min(preface_.size(), kClientPreface.size());
    if (std::string_view(preface_).substr(0, compared) != kClientPreface.substr(0, compared)) {
      return finish(ConnectionEnd::kNotHttp2);
    }
    if (preface_.size() < kClientPreface.size()) return;
    if (!openSession()) return finish(ConnectionEnd::kClosed);
    // nghttp2 reads the preface itself.
    const std::string received = std::exchange(preface_, {});
    return consume(reinterpret_cast<const std::uint8_t*>(received.data()), received.size());
  }
  if (state_ != State::kOpen) return;
  if (!session_->receive(data, length)) {
    // A protocol error: the session has queued its GOAWAY; it goes if the socket takes it at once.
    writeOutput();
    finish(ConnectionEnd::kClosed);
  }
}

void Http2Connection::writeOutput() {
  while (state_ == State::kOpen) {
    if (outputSent_ == output_.size()) {
      output_.clear();
      outputSent_ = 0;
      if (!session_->takeOutput(output_, kOutputChunkBytes)) return finish(ConnectionEnd::kClosed);
      if (output_.empty()) return;
    }
    const int n = tls_.write(output_.data() + outputSent_, output_.size() - outputSent_);
    if (n == 0) return;
    if (n < 0) return finish(ConnectionEnd::kClosed);
    outputSent_ += static_cast<std::size_t>(n);
  }
}

void Http2Connection::settle() {
  if (state_ == State::kFinished) return;
  const bool outputWaiting = outputSent_ < output_.size();
  if (state_ == State::kOpen && !outputWaiting && session_->done()) {
    return finish(drainBy_ ? ConnectionEnd::kDrained : ConnectionEnd::kClosed);
  }
  io_.setIoEvents(tls_.events(outputWaiting));
}

void Http2Connection::finish(ConnectionEnd end) {
  if (state_ == State::kFinished) return;
  // close_notify, so that the client sees the end as clean rather than as a truncation.
  tls_.closeNotify();
  state_ = State::kFinished;
  io_.setEnabled(false);
  timer_.disarm();
  if (finished_) std::exchange(finished_, nullptr)(this, end);
}

void Http2Connection::goAway(Time deadline) {
  if (state_ != State::kOpen) return finish(ConnectionEnd::kStopped);
  drainBy_ = deadline;
  session_->goAway();
  writeOutput();
  settle();
  if (state_ != State::kFinished) timer_.armAt(this->deadline());
}

void Http2Connection::evict() {
  if (session_ && state_ == State::kOpen) {
    session_->goAway();
    writeOutput();
  }
  finish(ConnectionEnd::kEvicted);
}

}  // namespace quenlarch::notification_host::provider
