// One client connection of the provider endpoint: a non-blocking TLS socket driven by an sd-event
// io source, carrying an nghttp2 server session. Requests are gathered per stream and handed,
// complete, to the answerer on the loop thread; its answer goes back on the same stream. Many
// streams run at once on one connection; flow control, HPACK and the frame rules are nghttp2's.
//
// Life: handshake (bounded by the handshake time-out; ALPN must choose h2) → open (closed after
// the idle time-out without traffic) → finished, when the peer hangs up, a protocol error ends
// the session, or after goAway() once the streams in flight are answered and the output is out.
// When finished the connection tells its owner through `finished`, once, and does nothing more;
// the owner destroys it outside the connection's own callbacks.
#pragma once

#include <nghttp2/nghttp2.h>
#include <openssl/ssl.h>
#include <systemd/sd-event.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "tools/notification_host/provider/provider_endpoint.h"
#include "tools/notification_host/provider/provider_limits.h"

namespace quenlarch::notification_host::provider {

class Http2Connection {
 public:
  using Answerer = std::function<ProviderAnswer(ProviderRequest)>;
  using Finished = std::function<void(Http2Connection*)>;

  // Takes `fd` (a connected, non-blocking socket) and starts the handshake. Null (with the fd
  // closed) when the connection's resources cannot be set up.
  static std::unique_ptr<Http2Connection> start(int fd, SSL_CTX* tls, sd_event* event,
                                                const ProviderLimits& limits,
                                                const Answerer& answerer, Finished finished);
  ~Http2Connection();
  Http2Connection(const Http2Connection&) = delete;
  Http2Connection& operator=(const Http2Connection&) = delete;

  // Sends GOAWAY: streams already begun are answered, new ones refused; the connection finishes
  // when that is done. A connection still in its handshake finishes at once.
  void goAway();

 private:
  struct Stream;
  enum class State { kHandshake, kOpen, kFinished };

  Http2Connection(int fd, const ProviderLimits& limits, const Answerer& answerer,
                  Finished finished);
  bool setUp(SSL_CTX* tls, sd_event* event);

  static int onIo(sd_event_source* source, int fd, std::uint32_t events, void* self);
  static int onTimer(sd_event_source* source, std::uint64_t usec, void* self);
  void handshake();
  bool openSession();
  void readInput();
  void writeOutput();
  // Chooses the io events to wait for, or finishes the connection when nothing is left to do.
  void settle();
  void finish();
  void noteProgress();

  // nghttp2 callbacks.
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

  int fd_;
  const ProviderLimits& limits_;
  const Answerer& answerer_;
  Finished finished_;
  State state_ = State::kHandshake;
  SSL* ssl_ = nullptr;
  nghttp2_session* session_ = nullptr;
  sd_event_source* io_ = nullptr;
  sd_event_source* timer_ = nullptr;
  std::uint64_t lastProgressUsec_ = 0;
  bool readWantsWrite_ = false;  // TLS needs the socket writable before it can read on
  bool writeWantsRead_ = false;  // and the other way round
  std::string output_;           // TLS plaintext taken from nghttp2, not yet accepted by SSL_write
  std::size_t outputSent_ = 0;
  std::unordered_map<std::int32_t, std::unique_ptr<Stream>> streams_;
};

}  // namespace quenlarch::notification_host::provider
