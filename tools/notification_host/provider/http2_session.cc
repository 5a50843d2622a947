// nghttp2's callbacks: a request's headers and body gathered within the limits, answered when its
// last frame arrives (or at once when its body is too large), the answer's body served from the
// stream.
#include "tools/notification_host/provider/http2_session.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

namespace quenlarch::notification_host::provider {
namespace {

constexpr std::int32_t kStreamWindowBytes = 16 * 1024;

std::string_view text(const std::uint8_t* bytes, std::size_t length) {
  return {reinterpret_cast<const char*>(bytes), length};
}

nghttp2_nv header(std::string_view name, std::string_view value) {
  return {reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
          value.size(), NGHTTP2_NV_FLAG_NONE};
}

bool isRequestFrame(const nghttp2_frame* frame) {
  return frame->hd.type == NGHTTP2_DATA ||
         (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST);
}

}  // namespace

struct Http2Session::Stream {
  std::int32_t id = 0;
  ProviderRequest request;
  std::size_t headerBytes = 0;
  bool headersTooLarge = false;
  bool bodyTooLarge = false;  // content-length or the data read passed the limit
  bool answered = false;
  std::string responseBody;
  std::size_t responseSent = 0;
};

std::unique_ptr<Http2Session> Http2Session::open(
    const ProviderLimits& limits, const Answerer& answerer, std::function<void()> requestFrame,
    std::shared_ptr<const ClientCertificate> certificate) {
  std::unique_ptr<Http2Session> made(new Http2Session(limits, answerer, std::move(requestFrame)));
  made->certificate_ = std::move(certificate);
  nghttp2_session_callbacks* callbacks = nullptr;
  if (nghttp2_session_callbacks_new(&callbacks) != 0) return nullptr;
  nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, onBeginHeaders);
  nghttp2_session_callbacks_set_on_header_callback(callbacks, onHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, onDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, onFrameReceived);
  nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, onStreamClosed);
  const int created = nghttp2_session_server_new(&made->session_, callbacks, made.get());
  nghttp2_session_callbacks_del(callbacks);
  if (created != 0) return nullptr;
  const std::array<nghttp2_settings_entry, 3> settings{{
      {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, limits.maxConcurrentStreams},
      {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, kStreamWindowBytes},
      {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE,
       static_cast<std::uint32_t>(limits.maxHeaderListBytes)},
  }};
  if (nghttp2_submit_settings(made->session_, NGHTTP2_FLAG_NONE, settings.data(),
                              settings.size()) != 0) {
    return nullptr;
  }
  return made;
}

Http2Session::Http2Session(const ProviderLimits& limits, const Answerer& answerer,
                           std::function<void()> requestFrame)
    : limits_(limits), answerer_(answerer), requestFrame_(std::move(requestFrame)) {}

Http2Session::~Http2Session() { nghttp2_session_del(session_); }

bool Http2Session::receive(const std::uint8_t* data, std::size_t length) {
  if (nghttp2_session_mem_recv(session_, data, length) >= 0) return true;
  nghttp2_session_terminate_session(session_, NGHTTP2_PROTOCOL_ERROR);
  return false;
}

bool Http2Session::takeOutput(std::string& output, std::size_t upTo) {
  while (output.size() < upTo) {
    const std::uint8_t* data = nullptr;
    const ssize_t length = nghttp2_session_mem_send(session_, &data);
    if (length < 0) return false;
    if (length == 0) break;
    output.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  }
  return true;
}

bool Http2Session::done() const {
  return nghttp2_session_want_read(session_) == 0 && nghttp2_session_want_write(session_) == 0;
}

void Http2Session::goAway() {
  nghttp2_submit_goaway(session_, NGHTTP2_FLAG_NONE,
                        nghttp2_session_get_last_proc_stream_id(session_), NGHTTP2_NO_ERROR,
                        nullptr, 0);
}

void Http2Session::answerWaitingStreams() {
  for (auto& entry : streams_) {
    Stream* stream = entry.second.get();
    if (stream->answered) continue;
    // The connection closes once this is out, so the rest of the request is never read.
    stream->request.cut = ProviderRequest::Cut::kStopping;
    respond(*stream, answerer_(std::move(stream->request)));
  }
}

Http2Session::Stream* Http2Session::streamFor(std::int32_t streamId) {
  auto it = streams_.find(streamId);
  return it == streams_.end() ? nullptr : it->second.get();
}

int Http2Session::onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* self) {
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  auto* session = static_cast<Http2Session*>(self);
  auto stream = std::make_unique<Stream>();
  stream->id = frame->hd.stream_id;
  session->streams_[stream->id] = std::move(stream);
  return 0;
}

int Http2Session::onHeader(nghttp2_session* nghttp2, const nghttp2_frame* frame,
                           const std::uint8_t* name, std::size_t nameLength,
                           const std::uint8_t* value, std::size_t valueLength, std::uint8_t,
                           void* self) {
  auto* session = static_cast<Http2Session*>(self);
  if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST) return 0;
  Stream* stream = session->streamFor(frame->hd.stream_id);
  if (stream == nullptr || stream->headersTooLarge) return 0;
  // Counted as SETTINGS_MAX_HEADER_LIST_SIZE counts: each field's bytes plus 32.
  stream->headerBytes += nameLength + valueLength + 32;
  if (stream->headerBytes > session->limits_.maxHeaderListBytes) {
    stream->headersTooLarge = true;
    stream->request = {};
    nghttp2_submit_rst_stream(nghttp2, NGHTTP2_FLAG_NONE, frame->hd.stream_id,
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
          (error == std::errc() && length > session->limits_.maxBodyBytes)) {
        stream->bodyTooLarge = true;
      }
    }
    stream->request.headers.push_back({std::string(key), std::string(content)});
  }
  return 0;
}

int Http2Session::onDataChunk(nghttp2_session*, std::uint8_t, std::int32_t streamId,
                              const std::uint8_t* data, std::size_t length, void* self) {
  auto* session = static_cast<Http2Session*>(self);
  Stream* stream = session->streamFor(streamId);
  if (stream == nullptr || stream->answered || stream->headersTooLarge) return 0;
  if (stream->request.body.size() + length > session->limits_.maxBodyBytes) {
    stream->bodyTooLarge = true;
    stream->request.cut = ProviderRequest::Cut::kTooLarge;
    session->respond(*stream, session->answerer_(std::move(stream->request)));
    return 0;
  }
  stream->request.body.append(reinterpret_cast<const char*>(data), length);
  return 0;
}

int Http2Session::onFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* self) {
  if (!isRequestFrame(frame)) return 0;
  auto* session = static_cast<Http2Session*>(self);
  if (session->requestFrame_) session->requestFrame_();
  Stream* stream = session->streamFor(frame->hd.stream_id);
  if (stream == nullptr || stream->answered || stream->headersTooLarge) return 0;
  if (stream->bodyTooLarge) {
    stream->request.cut = ProviderRequest::Cut::kTooLarge;
    session->respond(*stream, session->answerer_(std::move(stream->request)));
  } else if ((frame->hd.flags & NGHTTP2_FLAG_END_STREAM) != 0) {
    stream->request.certificate = session->certificate_;
    session->respond(*stream, session->answerer_(std::move(stream->request)));
  }
  return 0;
}

int Http2Session::onStreamClosed(nghttp2_session*, std::int32_t streamId, std::uint32_t,
                                 void* self) {
  static_cast<Http2Session*>(self)->streams_.erase(streamId);
  return 0;
}

void Http2Session::respond(Stream& stream, ProviderAnswer answer) {
  ++answered_;
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

ssize_t Http2Session::readBody(nghttp2_session*, std::int32_t, std::uint8_t* buffer,
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
