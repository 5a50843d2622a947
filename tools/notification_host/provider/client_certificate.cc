// The client certificate through OpenSSL: the verdict it kept from the handshake, the subject's
// attributes as UTF-8, and the environment markers looked up by their OIDs.
#include "tools/notification_host/provider/client_certificate.h"

#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <optional>

#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host::provider {
namespace {

constexpr const char* kDevelopmentMarker = "1.2.840.113635.100.6.3.1";
constexpr const char* kProductionMarker = "1.2.840.113635.100.6.3.2";
constexpr std::string_view kCommonNameSeparator = ": ";

// The first `nid` attribute of `name` as UTF-8; none when it has none or it does not convert.
std::optional<std::string> attribute(const X509_NAME* name, int nid) {
  const int at = X509_NAME_get_index_by_NID(name, nid, -1);
  if (at < 0) return std::nullopt;
  unsigned char* text = nullptr;
  const int length =
      ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at)));
  if (length < 0) return std::nullopt;
  std::string value(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
  OPENSSL_free(text);
  return value;
}

bool carries(const X509* certificate, const char* oid) {
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> object(OBJ_txt2obj(oid, 1),
                                                                   ASN1_OBJECT_free);
  return object && X509_get_ext_by_OBJ(certificate, object.get(), -1) >= 0;
}

TokenRefusal badCertificate(std::string message) {
  return {"BadCertificate", std::move(message), 403};
}

}  // namespace

ClientCertificate readClientCertificate(const SSL* ssl) {
  ClientCertificate read;
  X509* certificate = SSL_get0_peer_certificate(ssl);
  if (certificate == nullptr) return read;
  read.presented = true;
  const long verified = SSL_get_verify_result(ssl);
  if (verified != X509_V_OK) read.verifyError = X509_verify_cert_error_string(verified);
  const X509_NAME* subject = X509_get_subject_name(certificate);
  if (std::optional<std::string> uid = attribute(subject, NID_userId); uid && !uid->empty()) {
    read.topics.push_back(*uid);
  }
  if (std::optional<std::string> cn = attribute(subject, NID_commonName)) {
    const std::size_t at = cn->find(kCommonNameSeparator);
    if (at != std::string::npos && at + kCommonNameSeparator.size() < cn->size()) {
      std::string topic = cn->substr(at + kCommonNameSeparator.size());
      if (std::find(read.topics.begin(), read.topics.end(), topic) == read.topics.end()) {
        read.topics.push_back(std::move(topic));
      }
    }
  }
  read.development = carries(certificate, kDevelopmentMarker);
  read.production = carries(certificate, kProductionMarker);
  return read;
}

Expected<void, TokenRefusal> checkClientCertificate(const ClientCertificate* certificate) {
  if (certificate == nullptr || !certificate->presented) {
    return unexpected(badCertificate(
        "the connection presented no client certificate, and this endpoint takes certificates "
        "only (--provider-ca without --provider-key)"));
  }
  if (!certificate->verifyError.empty()) {
    return unexpected(
        badCertificate("the client certificate did not verify against --provider-ca: " +
                       certificate->verifyError));
  }
  if (certificate->topics.empty()) {
    return unexpected(badCertificate(
        "the client certificate's subject names no topic (no UID, no CN with \": \")"));
  }
  if (certificate->production && !certificate->development) {
    return unexpected(TokenRefusal{"BadCertificateEnvironment",
                                   "the client certificate is for production (it carries " +
                                       std::string(kProductionMarker) +
                                       " only); this endpoint is the development environment",
                                   403});
  }
  return {};
}

bool certificateAllowsTopic(const ClientCertificate& certificate, std::string_view topic) {
  for (const std::string& named : certificate.topics) {
    if (!topic.starts_with(named)) continue;
    const std::string_view suffix = topic.substr(named.size());
    for (std::size_t i = 0; i <= static_cast<std::size_t>(push::PushType::kWidgets); ++i) {
      if (suffix == push::topicSuffix(static_cast<push::PushType>(i))) return true;
    }
  }
  return false;
}

}  // namespace quenlarch::notification_host::provider
