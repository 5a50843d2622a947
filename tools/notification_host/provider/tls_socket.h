// TLS on one non-blocking socket, server side: the handshake, reads and writes that never wait,
// and which socket events the next step needs (OpenSSL may need the socket writable to read on,
// or readable to write on). Owns the socket and the SSL object.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "tools/notification_host/provider/client_certificate.h"

namespace quenlarch::notification_host::provider {

class TlsSocket {
 public:
  enum class Step { kDone, kWaiting, kFailed };

  // Takes `fd`; closes it when the object goes.
  explicit TlsSocket(int fd) : fd_(fd) {}
  ~TlsSocket();
  TlsSocket(const TlsSocket&) = delete;
  TlsSocket& operator=(const TlsSocket&) = delete;

  int fd() const { return fd_; }
  bool setUp(SSL_CTX* tls);

  // One more step of the handshake; with kFailed, failure() says why.
  Step handshake();
  // The client offered ALPN and the server chose h2; false when it offered none (a client offering
  // others only failed the handshake).
  bool choseH2() const;
  // The certificate the client presented in the finished handshake, if any.
  ClientCertificate clientCertificate() const { return readClientCertificate(ssl_); }

  // Bytes read into `buffer` (> 0), 0 while nothing is there, -1 when the peer hung up or TLS
  // failed.
  int read(std::uint8_t* buffer, std::size_t size);
  // Bytes taken (> 0), 0 while the socket is full, -1 when it failed.
  int write(const char* data, std::size_t size);
  // Sends close_notify, once and without waiting, so that the client sees a clean end.
  void closeNotify();

  // The socket events (EPOLLIN, EPOLLOUT) the next step waits for; `outputWaiting`: there is
  // output not yet taken by write().
  std::uint32_t events(bool outputWaiting) const;

  // Why the handshake failed ("wrong version number"), from OpenSSL's error queue.
  const std::string& failure() const { return failure_; }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool handshaking_ = true;
  bool readWantsWrite_ = false;  // TLS needs the socket writable before it can read on
  bool writeWantsRead_ = false;  // and the other way round
  std::string failure_;
};

}  // namespace quenlarch::notification_host::provider
