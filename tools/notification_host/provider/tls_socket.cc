// OpenSSL's non-blocking calls, mapped to what the connection needs to know.
#include "tools/notification_host/provider/tls_socket.h"

#include <openssl/err.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "tools/notification_host/provider/tls_context.h"

namespace quenlarch::notification_host::provider {
namespace {

std::string queuedReason() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "the client hung up";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "TLS error";
}

}  // namespace

TlsSocket::~TlsSocket() {
  SSL_free(ssl_);
  ::close(fd_);
}

bool TlsSocket::setUp(SSL_CTX* tls) {
  ssl_ = SSL_new(tls);
  if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) return false;
  SSL_set_accept_state(ssl_);
  return true;
}

TlsSocket::Step TlsSocket::handshake() {
  ERR_clear_error();
  const int done = SSL_do_handshake(ssl_);
  if (done == 1) {
    handshaking_ = false;
    return Step::kDone;
  }
  switch (SSL_get_error(ssl_, done)) {
    case SSL_ERROR_WANT_READ:
      readWantsWrite_ = false;
      return Step::kWaiting;
    case SSL_ERROR_WANT_WRITE:
      readWantsWrite_ = true;
      return Step::kWaiting;
    default:
      failure_ = queuedReason();
      return Step::kFailed;
  }
}

bool TlsSocket::choseH2() const { return negotiatedH2(ssl_); }

int TlsSocket::read(std::uint8_t* buffer, std::size_t size) {
  writeWantsRead_ = false;
  readWantsWrite_ = false;
  const int n = SSL_read(ssl_, buffer, static_cast<int>(size));
  if (n > 0) return n;
  const int error = SSL_get_error(ssl_, n);
  if (error == SSL_ERROR_WANT_READ) return 0;
  if (error == SSL_ERROR_WANT_WRITE) {
    readWantsWrite_ = true;
    return 0;
  }
  ERR_clear_error();
  return -1;
}

int TlsSocket::write(const char* data, std::size_t size) {
  writeWantsRead_ = false;
  const int n = SSL_write(ssl_, data, static_cast<int>(size));
  if (n > 0) return n;
  const int error = SSL_get_error(ssl_, n);
  if (error == SSL_ERROR_WANT_WRITE) return 0;
  if (error == SSL_ERROR_WANT_READ) {
    writeWantsRead_ = true;
    return 0;
  }
  ERR_clear_error();
  return -1;
}

void TlsSocket::closeNotify() {
  if (handshaking_) return;
  SSL_shutdown(ssl_);
  ERR_clear_error();
}

std::uint32_t TlsSocket::events(bool outputWaiting) const {
  if (handshaking_) return readWantsWrite_ ? EPOLLOUT : EPOLLIN;
  std::uint32_t events = 0;
  if (outputWaiting || readWantsWrite_) events |= EPOLLOUT;
  if ((!outputWaiting && !readWantsWrite_) || writeWantsRead_) events |= EPOLLIN;
  return events;
}

}  // namespace quenlarch::notification_host::provider
