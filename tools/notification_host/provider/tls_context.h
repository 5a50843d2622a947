// The provider endpoint's TLS settings: the service's certificate and key, TLS 1.2 or later with
// the forward-secret AEAD suites HTTP/2 allows, and ALPN that offers "h2" only, so a client
// that cannot speak HTTP/2 fails the handshake instead of sending HTTP/1.1 to a server that
// would not understand it. With `serve --provider-ca` it also asks each client for a certificate
// (client_certificate.h).
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <string>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::provider {

inline constexpr unsigned char kAlpnH2[] = {2, 'h', '2'};

// The server context for `certPath` (a PEM certificate, optionally followed by its chain) and
// `keyPath` (its PEM private key); one line naming the file when either is unusable or they do
// not belong together.
Expected<std::shared_ptr<SSL_CTX>> makeServerTlsContext(const std::string& certPath,
                                                        const std::string& keyPath);

// Asks every client of `context` for a certificate issued by the authority in `caPath` (PEM, one
// or more certificates), which OpenSSL verifies. A certificate that does not verify, or none, still
// completes the handshake: the verdict stays with the connection for the endpoint to answer per
// request. One line naming the file when it holds no usable certificate.
Expected<void> askForClientCertificates(SSL_CTX* context, const std::string& caPath);

// True when the finished handshake on `ssl` chose h2.
bool negotiatedH2(const SSL* ssl);

}  // namespace quenlarch::notification_host::provider
