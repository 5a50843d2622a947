// The HTTP/2 side of one provider connection: an nghttp2 server session in its memory-buffer mode
// (bytes in through receive(), bytes out through takeOutput()), with requests gathered per stream
// and handed, complete, to the answerer; its answer goes back on the same stream. Many streams
// run at once; flow control, HPACK and the frame rules are nghttp2's. Knows nothing of sockets.
#pragma once

#include <nghttp2/nghttp2.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "tools/notification_host/provider/provider_endpoint.h"
#include "tools/notification_host/provider/provider_limits.h"

namespace quenlarch::notification_host::provider {

class Http2Session {
 public:
  using Answerer = std::function<ProviderAnswer(ProviderRequest)>;

  // `requestFrame` is told of every HEADERS or DATA frame of a request: what counts as a client
  // making progress (PING, SETTINGS and WINDOW_UPDATE alone do not). Null when nghttp2 cannot
  // set the session up.
  // `certificate` goes with every request of the session.
  static std::unique_ptr<Http2Session> open(const ProviderLimits& limits, const Answerer& answerer,
                                            std::function<void()> requestFrame,
                                            std::shared_ptr<const ClientCertificate> certificate);
  ~Http2Session();
  Http2Session(const Http2Session&) = delete;
  Http2Session& operator=(const Http2Session&) = delete;

  // Feeds what the client sent; false on a protocol error (nghttp2 has queued its GOAWAY).
  bool receive(const std::uint8_t* data, std::size_t length);
  // Appends frames to send to `output` until it holds `upTo` bytes or nothing is left; false when
  // nghttp2 failed.
  bool takeOutput(std::string& output, std::size_t upTo);
  // Nothing left to read or write: after GOAWAY, every stream answered and its frames taken.
  bool done() const;

  // GOAWAY: streams already begun are answered, new ones refused.
  void goAway();
  // Answers every stream still waiting for the rest of its request 503 ServiceUnavailable, as the
  // provider API answers a service that is going away.
  void answerWaitingStreams();
  // Requests answered so far.
  std::uint64_t answered() const { return answered_; }

 private:
  struct Stream;
  Http2Session(const ProviderLimits& limits, const Answerer& answerer,
               std::function<void()> requestFrame);

  static int onBeginHeaders(nghttp2_session*, const nghttp2_frame* frame, void* self);
  static int onHeader(nghttp2_session*, const nghttp2_frame* frame, const std::uint8_t* name,
                      std::size_t nameLength, const std::uint8_t* value, std::size_t valueLength,
                      std::uint8_t flags, void* self);
  static int onDataChunk(nghttp2_session*, std::uint8_t flags, std::int32_t streamId,
                         const std::uint8_t* data, std::size_t length, void* self);
  static int onFrameReceived(nghttp2_session*, const nghttp2_frame* frame, void* self);
  static int onStreamClosed(nghttp2_session*, std::int32_t streamId, std::uint32_t errorCode,
                            void* self);
  static ssize_t readBody(nghttp2_session*, std::int32_t streamId, std::uint8_t* buffer,
                          std::size_t length, std::uint32_t* flags, nghttp2_data_source* source,
                          void* self);
  Stream* streamFor(std::int32_t streamId);
  void respond(Stream& stream, ProviderAnswer answer);

  const ProviderLimits& limits_;
  const Answerer& answerer_;
  std::function<void()> requestFrame_;
  std::shared_ptr<const ClientCertificate> certificate_;
  nghttp2_session* session_ = nullptr;
  std::unordered_map<std::int32_t, std::unique_ptr<Stream>> streams_;
  std::uint64_t answered_ = 0;
};

}  // namespace quenlarch::notification_host::provider
