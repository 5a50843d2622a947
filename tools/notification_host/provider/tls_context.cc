// SSL_CTX set-up through OpenSSL; the ALPN choice is OpenSSL's own SSL_select_next_proto.
#include "tools/notification_host/provider/tls_context.h"

#include <openssl/err.h>

#include <cstring>

namespace quenlarch::notification_host::provider {
namespace {

std::string opensslReason() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

int selectH2(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
             unsigned int inLength, void*) {
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outLength, kAlpnH2, sizeof kAlpnH2, in, inLength) !=
      OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;  // no_application_protocol
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

Expected<std::shared_ptr<SSL_CTX>> makeServerTlsContext(const std::string& certPath,
                                                        const std::string& keyPath) {
  std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!context) return unexpected("cannot set up TLS: " + opensslReason());
  SSL_CTX* ctx = context.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_TICKET);
  // TLS 1.2 suites HTTP/2 accepts (RFC 7540 9.2.2); TLS 1.3 suites all qualify.
  SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20");
  SSL_CTX_set_num_tickets(ctx, 0);  // providers keep their connection; nothing to resume
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_use_certificate_chain_file(ctx, certPath.c_str()) != 1) {
    return unexpected("cannot use the TLS certificate " + certPath + ": " + opensslReason());
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, keyPath.c_str(), SSL_FILETYPE_PEM) != 1) {
    return unexpected("cannot use the TLS key " + keyPath + ": " + opensslReason());
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return unexpected("the TLS key " + keyPath + " does not belong to the certificate " + certPath);
  }
  SSL_CTX_set_alpn_select_cb(ctx, selectH2, nullptr);
  return context;
}

Expected<void> askForClientCertificates(SSL_CTX* context, const std::string& caPath) {
  if (SSL_CTX_load_verify_locations(context, caPath.c_str(), nullptr) != 1) {
    return unexpected("cannot use --provider-ca " + caPath + ": " + opensslReason());
  }
  STACK_OF(X509_NAME)* authorities = SSL_load_client_CA_file(caPath.c_str());
  if (authorities == nullptr) {
    return unexpected("--provider-ca " + caPath + " holds no PEM certificate");
  }
  // Named to the client, so that one holding several certificates picks one this authority issued.
  SSL_CTX_set_client_CA_list(context, authorities);
  // The callback lets every chain through; SSL_get_verify_result keeps what OpenSSL found wrong.
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });
  // A session resumed under client verification must come from this context (OpenSSL refuses
  // resumption without one).
  static constexpr unsigned char kSessionContext[] = "provider-endpoint";
  SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
  ERR_clear_error();
  return {};
}

bool negotiatedH2(const SSL* ssl) {
  const unsigned char* protocol = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(ssl, &protocol, &length);
  return length == 2 && std::memcmp(protocol, "h2", 2) == 0;
}

}  // namespace quenlarch::notification_host::provider
