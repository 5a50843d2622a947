// Certificate authentication at the provider endpoint: what a connection's client certificate
// says, read once after its handshake (http2_connection.h) and carried with each of its requests,
// and the endpoint's checks of it. OpenSSL verifies the certificate against `serve --provider-ca`
// during the handshake (tls_context.h); its verdict is kept here rather than failing the handshake,
// so that the provider gets the documented answer, 403 BadCertificate, on its request.
//
//   topics       the subject's UID attribute (0.9.2342.19200300.100.1.1), and the text after
//                ": " in its CN ("Pushes: com.example.app"), each when present
//   environment  extension 1.2.840.113635.100.6.3.1 marks a development certificate,
//                1.2.840.113635.100.6.3.2 a production one; a certificate may carry both or neither
//
// The endpoint stands for the development (sandbox) environment: serve has no production mode, and
// the pushes it takes reach a desktop under test, never a customer's device. A certificate marked
// for production only is refused BadCertificateEnvironment; one with neither marker is taken.
#pragma once

#include <openssl/ssl.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/provider/provider_token.h"

namespace quenlarch::notification_host::provider {

struct ClientCertificate {
  bool presented = false;
  std::string verifyError;          // OpenSSL's words when it did not verify; empty when it did
  std::vector<std::string> topics;  // the UID first; no duplicates
  bool development = false;
  bool production = false;
};

// The certificate the client of the finished handshake on `ssl` presented, if any.
ClientCertificate readClientCertificate(const SSL* ssl);

// Refuses (403 BadCertificate, BadCertificateEnvironment) a certificate that is missing, did not
// verify against --provider-ca, names no topic, or is marked for production only. The refusal's
// shape is a token refusal's: reason, a line for the service's log, status.
Expected<void, TokenRefusal> checkClientCertificate(const ClientCertificate* certificate);

// True when a push may name `topic` with `certificate`: one of its topics, or one of them with a
// push type's suffix (".voip"), which the rules then match against the push's type.
bool certificateAllowsTopic(const ClientCertificate& certificate, std::string_view topic);

}  // namespace quenlarch::notification_host::provider
