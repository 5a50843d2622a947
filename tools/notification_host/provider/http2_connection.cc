// TLS and HTTP/2 plumbing for one connection. nghttp2 is used in its memory-buffer mode
// (mem_recv / mem_send), so that all socket work goes through the SSL object here.
#include "tools/notification_host/provider/http2_connection.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "tools/notification_host/provider/tls_context.h"

namespace quenlarch::notification_host::provider {
namespace {

constexpr std::size_t kRecordBytes = 16 * 1024;  // one TLS record: nothing stays inside OpenSSL
constexpr std::size_t kOutputChunkBytes = 64 * 1024;
constexpr std::int32_t kStreamWindowBytes = 16 * 1024;
constexpr std::uint64_t kTimerAccuracyUsec = 1000;

std::uint64_t nowUsec(sd_event* event) {
  std::uint64_t now = 0;
  sd_event_now(event, CLOCK_MONOTONIC, &now);
  return now;
}

std::uint64_t usec(std::chrono::milliseconds duration) {
  return static_cast<std::uint64_t>(duration.count()) * 1000;
}

std::string_view text(const std::uint8_t* bytes, std::size_t length) {
  return {reinterpret_cast<const char*>(bytes), length};
}

nghttp2_nv header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(), NGHTTP2_NV_FLAG_NONE};
}

}  // namespace

struct Http2Connection::Stream {
  std::int32_t id = 0;
  ProviderRequest request;
  std::size_t headerBytes = 0;
  bool headersTooLarge = false;
  bool bodyTooLarge = false;  // content-length or the data read passed the limit
  bool answered = false;
  std::string responseBody;
  std::size_t responseSent = 0;
};

std::unique_ptr<Http2Connection> Http2Connection::start(int fd, SSL_CTX* tls, sd_event* event,
                                                        const ProviderLimits& limits,
                                                        const Answerer& answerer,
                                                        Finished finished) {
  std::unique_ptr<Http2Connection> connection(
      new Http2Connection(fd, limits, answerer, std::move(finished)));
  if (!connection->setUp(tls, event)) return nullptr;
  return connection;
}

Http2Connection::Http2Connection(int fd, const ProviderLimits& limits, const Answerer& answerer,
                                 Finished finished)
    : fd_(fd), limits_(limits), answerer_(answerer), finished_(std::move(finished)) {}

Http2Connection::~Http2Connection() {
  sd_event_source_disable_unref(io_);
  sd_event_source_disable_unref(timer_);
  nghttp2_session_del(session_);
  SSL_free(ssl_);
  ::close(fd_);
}

bool Http2Connection::setUp(SSL_CTX* tls, sd_event* event) {
  ssl_ = SSL_new(tls);
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return false;
  SSL_set_accept_state(ssl_);
  if (sd_event_add_io(event, &io_, fd_, EPOLLIN, onIo, this) < 0) return false;
  lastProgressUsec_ = nowUsec(event);
  return sd_event_add_time(event, &timer_, CLOCK_MONOTONIC,
                           lastProgressUsec_ + usec(limits_.handshakeTimeout), kTimerAccuracyUsec,
                           onTimer, this) >= 0;
}

void Http2Connection::noteProgress() {
  lastProgressUsec_ = nowUsec(sd_event_source_get_event(io_));
}

int Http2Connection::onIo(sd_event_source*, int, std::uint32_t, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  if (connection->state_ == State::kHandshake) {
    connection->handshake();
  } else if (connection->state_ == State::kOpen) {
    connection->readInput();
    connection->writeOutput();
  }
  connection->settle();
  return 0;
}

int Http2Connection::onTimer(sd_event_source* source, std::uint64_t now, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  const std::uint64_t limit =
      usec(connection->state_ == State::kHandshake ? connection->limits_.handshakeTimeout
                                                   : connection->limits_.idleTimeout);
  const std::uint64_t due = connection->lastProgressUsec_ + limit;
  if (connection->state_ == State::kHandshake || now >= due) {
    connection->finish();
    return 0;
  }
  // Progress moves the deadline without touching the timer on every byte.
  sd_event_source_set_time(source, due);
  sd_event_source_set_enabled(source, SD_EVENT_ONESHOT);
  return 0;
}

void Http2Connection::handshake() {
  const int done = SSL_do_handshake(ssl_);
  if (done == 1) {
    if (!negotiatedH2(ssl_) || !openSession()) return finish();
    state_ = State::kOpen;
    noteProgress();
    sd_event_source_set_time(timer_, lastProgressUsec_ + usec(limits_.idleTimeout));
    sd_event_source_set_enabled(timer_, SD_EVENT_ONESHOT);
    readInput();  // the client's preface may have come with its last handshake message
    writeOutput();
    return;
  }
  switch (SSL_get_error(ssl_, done)) {
    case SSL_ERROR_WANT_READ:
      readWantsWrite_ = false;
      return;
    case SSL_ERROR_WANT_WRITE:
      readWantsWrite_ = true;
      return;
    default:
      return finish();
  }
}

bool Http2Connection::openSession() {
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) return false;
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, onBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, onHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, onDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, onFrameReceived);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, onStreamClosed);
  const int created = nghttp2_session_server_new(&session_, callbacks, this);
  nghttp2_session_callbacks_del(callbacks);
  if (created != 0) return false;
  const std::array<nghttp2_settings_entry, 3> settings{{
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, limits_.maxConcurrentStreams},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kStreamWindowBytes},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
       static_cast<std::uint32_t>(limits_.maxHeaderListBytes)},
  }};
  return nghttp2_submit_settings(session_, NGHTTP2_FLAG_NONE, settings.data(), settings.size()) ==
         0;
}

void Http2Connection::readInput() {
  writeWantsRead_ = false;
  std::array<std::uint8_t, kRecordBytes> buffer;
  std::size_t budget = limits_.inputPerTurnBytes;
  // No input while output waits for the socket: answers cannot pile up for a client that does
  // not read them.
  while (state_ == State::kOpen && budget > 0 && outputSent_ == output_.size()) {
    readWantsWrite_ = false;
    const int n = SSL_read(ssl_, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) {
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_READ) return;
      if (error == SSL_ERROR_WANT_WRITE) {
        readWantsWrite_ = true;
        return;
      }
      return finish();  // the peer hung up, or TLS failed
    }
    noteProgress();
    budget -= std::min(budget, static_cast<std::size_t>(n));
    if (nghttp2_session_mem_recv(session_, buffer.data(), static_cast<std::size_t>(n)) < 0) {
      // A protocol error: nghttp2 has queued its GOAWAY; send it if the socket takes it at once.
      nghttp2_session_terminate_session(session_, NGHTTP2_PROTOCOL_ERROR);
      writeOutput();
      return finish();
    }
    writeOutput();
  }
}

void Http2Connection::writeOutput() {
  while (state_ == State::kOpen) {
    if (outputSent_ == output_.size()) {
      output_.clear();
      outputSent_ = 0;
      while (output_.size() < kOutputChunkBytes) {
        const std::uint8_t* data = nullptr;
        const ssize_t length = nghttp2_session_mem_send(session_, &data);
        if (length < 0) return finish();
        if (length == 0) break;
        output_.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
      }
      if (output_.empty()) return;
    }
    writeWantsRead_ = false;
    const int n = SSL_write(ssl_, output_.data() + outputSent_,
                            static_cast<int>(output_.size() - outputSent_));
    if (n <= 0) {
      const int error = SSL_get_error(ssl_, n);
      if (error == SSL_ERROR_WANT_WRITE) return;
      if (error == SSL_ERROR_WANT_READ) {
        writeWantsRead_ = true;
        return;
      }
      return finish();
    }
    noteProgress();
    outputSent_ += static_cast<std::size_t>(n);
  }
}

void Http2Connection::settle() {
  if (state_ == State::kFinished) return;
  const bool outputWaiting = outputSent_ < output_.size();
  std::uint32_t events = 0;
  if (state_ == State::kHandshake) {
    events = readWantsWrite_ ? EPOLLOUT : EPOLLIN;
  } else {
    if (!outputWaiting && nghttp2_session_want_read(session_) == 0 &&
        nghttp2_session_want_write(session_) == 0) {
      return finish();  // after GOAWAY, every stream answered and sent
    }
    if (outputWaiting || readWantsWrite_) events |= EPOLLOUT;
    if ((!outputWaiting && !readWantsWrite_) || writeWantsRead_) events |= EPOLLIN;
  }
  sd_event_source_set_io_events(io_, events);
}

void Http2Connection::finish() {
  if (state_ == State::kFinished) return;
  // close_notify, so that the client sees the end as clean rather than as a truncation; one try,
  // since the socket may be full or gone.
  if (state_ == State::kOpen) SSL_shutdown(ssl_);
  state_ = State::kFinished;
  sd_event_source_set_enabled(io_, SD_EVENT_OFF);
  sd_event_source_set_enabled(timer_, SD_EVENT_OFF);
  if (finished_) std::exchange(finished_, nullptr)(this);
}

void Http2Connection::goAway() {
  if (state_ == State::kHandshake) return finish();
  if (state_ != State::kOpen) return;
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session_), NGHTTP2_NO_ERROR,
                        nullptr, 0);
  writeOutput();
  settle();
}

Http2Connection::Stream* Http2Connection::streamFor(std::int32_t streamId) {
  auto it = streams_.find(streamId);
  return it == streams_.end() ? nullptr : it->second.get();
}

int Http2Connection::onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* self) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  auto* connection = static_cast<Http2Connection*>(self);
  auto stream = std::make_unique<Stream>();
  stream->id = frame->hd.stream_id;
  connection->streams_[stream->id] = std::move(stream);
  return 0;
}

int Http2Connection::onHeader(nghttp2_session* session, const nghttp2_frame* frame,
                              const std::uint8_t* name, std::size_t nameLength,
                              const std::uint8_t* value, std::size_t valueLength, std::uint8_t,
                              void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  Stream* stream = connection->streamFor(frame->hd.stream_id);
  if (stream == nullptr || stream->headersTooLarge) return 0;
  // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts: each field's bytes plus 32.
  stream->headerBytes += nameLength + valueLength + 32;
  if (stream->headerBytes > connection->limits_.maxHeaderListBytes) {
    stream->headersTooLarge = true;
    stream->request = {};
    nghttp2_submit_rst_stream(session, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
                              NGHTTP2_ENHANCE_YOUR_CALM);
    return 0;
  }
  const std::string_view key = text(name, nameLength);
  const std::string_view content = text(value, valueLength);
  if (key == ":method") {
    stream->request.method = content;
  } else if (key == ":path") {
    stream->request.path = content;
  } else if (!key.starts_with(':')) {
    if (key == "content-length") {
      std::size_t length = 0;
      auto [end, error] = std::from_chars(content.data(), content.data() + content.size(), length);
      if (error == std::errc::result_out_of_range ||
          (error == std::errc() && length > connection->limits_.maxBodyBytes)) {
        stream->bodyTooLarge = true;
      }
    }
    stream->request.headers.push_back({std::string(key), std::string(content)});
  }
  return 0;
}

int Http2Connection::onDataChunk(nghttp2_session*, std::uint8_t, std::int32_t streamId,
                                 const std::uint8_t* data, std::size_t length, void* self) {
  auto* connection = static_cast<Http2Connection*>(self);
  Stream* stream = connection->streamFor(streamId);
  if (stream == nullptr || stream->answered || stream->headersTooLarge) return 0;
  if (stream->request.body.size() + length > connection->limits_.maxBodyBytes) {
    stream->bodyTooLarge = true;
    connection->respond(*stream, payloadTooLargeAnswer(stream->request.headers));
    return 0;
  }
  stream->request.body.append(reinterpret_cast<const char*>(data), length);
  return 0;
}

int Http2Connection::onFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* self) {
  if (frame->hd.type != NGHTTP2_HEADERS && frame->hd.type != NGHTTP2_DATA) return 0;
  auto* connection = static_cast<Http2Connection*>(self);
  Stream* stream = connection->streamFor(frame->hd.stream_id);
  if (stream == nullptr || stream->answered || stream->headersTooLarge) return 0;
  if (stream->bodyTooLarge) {
    connection->respond(*stream, payloadTooLargeAnswer(stream->request.headers));
  } else if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
    connection->respond(*stream, connection->answerer_(std::move(stream->request)));
  }
  return 0;
}

int Http2Connection::onStreamClosed(nghttp2_session*, std::int32_t streamId, std::uint32_t,
                                    void* self) {
  static_cast<Http2Connection*>(self)->streams_.erase(streamId);
  return 0;
}

void Http2Connection::respond(Stream& stream, ProviderAnswer answer) {
  stream.answered = true;
  stream.request = {};
  stream.responseBody = std::move(answer.body);
  std::array<char, 4> status{};
  std::to_chars(status.data(), status.data() + 3, answer.status);
  std::array<nghttp2_nv, 3> headers{
      header(":status", std::string_view(status.data(), 3)),
      header("apns-id", answer.apnsId),
      header("content-type", "application/json"),
  };
  const std::size_t count = stream.responseBody.empty() ? 2 : 3;
  nghttp2_data_provider body{};
  body.source.ptr = &stream;
  body.read_callback = readBody;
  nghttp2_submit_response(session_, stream.id, headers.data(), count,
                          stream.responseBody.empty() ? nullptr : &body);
}

ssize_t Http2Connection::readBody(nghttp2_session*, std::int32_t, std::uint8_t* buffer,
                                  std::size_t length, std::uint32_t* flags,
                                  nghttp2_data_source* source, void*) {
  auto* stream = static_cast<Stream*>(source->ptr);
  const std::size_t count = std::min(length, stream->responseBody.size() - stream->responseSent);
  std::memcpy(buffer, stream->responseBody.data() + stream->responseSent, count);
  stream->responseSent += count;
  if (stream->responseSent == stream->responseBody.size()) *flags |= NGHTTP2_DATA_FLAG_EOF;
  return static_cast<ssize_t>(count);
}

}  // namespace quenlarch::notification_host::provider
