// One client connection of the provider endpoint: a TLS socket (tls_socket.h) carrying an HTTP/2
// session (http2_session.h), driven by an io source and one deadline timer on the loop.
//
// Life: handshake (bounded by the handshake deadline; a client offering ALPN must choose h2) →
// preface, for a client that offered no ALPN: the first bytes must be HTTP/2's client preface
// (such clients speak HTTP/2 with prior knowledge), anything else is closed → open → finished.
// Open, it is closed once no request frame (HEADERS or DATA) has come for the idle time-out: PINGs
// and the like keep no slot. goAway() begins the drain: new streams are refused, those begun are
// answered, and at the drain's deadline whatever still waits for its body is answered 503 and the
// connection closes. When finished the connection tells its owner through `finished`, once, with
// how it ended, and does nothing more; the owner destroys it outside the connection's callbacks.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tools/notification_host/engine/event_loop.h"
#include "tools/notification_host/provider/http2_session.h"
#include "tools/notification_host/provider/provider_limits.h"
#include "tools/notification_host/provider/tls_socket.h"

namespace quenlarch::notification_host::provider {

enum class ConnectionEnd {
  kHandshakeFailed,    // TLS failed, or the client offered ALPN without h2
  kHandshakeDeadline,  // the handshake took longer than the handshake time-out
  kNotHttp2,           // no ALPN, and what followed was not the HTTP/2 client preface
  kIdle,               // no request frame for the idle time-out
  kEvicted,            // its slot went to a new connection (evict())
  kStopped,            // the service stopped and the drain's deadline passed, or came before h2
  kDrained,            // after goAway(), every stream answered
  kClosed,             // the client hung up or broke the protocol
};

// What an ending is called on serve's standard error.
std::string_view describe(ConnectionEnd end);

class Http2Connection {
 public:
  using Time = Clock::time_point;
  using Answerer = Http2Session::Answerer;
  using Finished = std::function<void(Http2Connection*, ConnectionEnd)>;

  // Takes `fd` (a connected, non-blocking socket from `peer`) and starts the handshake. Null
  // (with the fd closed) when the connection's resources cannot be set up.
  static std::unique_ptr<Http2Connection> start(int fd, std::string peer, SSL_CTX* tls,
                                                sd_event* event, const ProviderLimits& limits,
                                                const Answerer& answerer, Finished finished,
                                                Clock& clock);
  Http2Connection(const Http2Connection&) = delete;
  Http2Connection& operator=(const Http2Connection&) = delete;

  // Begins the drain, to end by `deadline`. A connection before HTTP/2 finishes at once.
  void goAway(Time deadline);
  // Closes at once (with a GOAWAY when it can), for a newcomer that needs the slot.
  void evict();

  // Since when no request frame has come (or since the connection was accepted).
  Time idleSince() const { return idleSince_; }
  std::uint64_t answered() const { return session_ ? session_->answered() : 0; }
  const std::string& peer() const { return peer_; }
  // Why the handshake failed, in OpenSSL's words; empty otherwise.
  const std::string& handshakeFailure() const { return tls_.failure(); }

 private:
  enum class State { kHandshake, kPreface, kOpen, kFinished };

  Http2Connection(int fd, std::string peer, const ProviderLimits& limits, const Answerer& answerer,
                  Finished finished, Clock& clock);
  bool setUp(SSL_CTX* tls, sd_event* event);

  void onIo();
  void onDeadline();
  Time deadline() const;
  void handshake();
  bool openSession();
  void readInput();
  // Takes bytes the client sent: the preface check, then the session.
  void consume(const std::uint8_t* data, std::size_t length);
  void writeOutput();
  // Chooses the io events to wait for, or finishes the connection when nothing is left to do.
  void settle();
  void finish(ConnectionEnd end);

  TlsSocket tls_;
  std::string peer_;
  const ProviderLimits& limits_;
  const Answerer& answerer_;
  Finished finished_;
  Clock& clock_;
  State state_ = State::kHandshake;
  std::unique_ptr<Http2Session> session_;
  EventSource io_;
  EventSource timer_;
  Time acceptedAt_;
  Time idleSince_;
  std::optional<Time> drainBy_;
  std::string preface_;  // what came so far of a client that offered no ALPN
  std::string output_;   // TLS plaintext taken from the session, not yet accepted by the socket
  std::size_t outputSent_ = 0;
};

}  // namespace quenlarch::notification_host::provider
