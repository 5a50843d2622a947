// The throwaway certificate, made with OpenSSL the way `openssl req -x509` makes one (a CA
// certificate that is also the server's, so that a client can trust it as its own anchor).
#include "tools/notification_host/provider/self_signed_certificate.h"

#include <arpa/inet.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <functional>
#include <memory>
#include <tuple>
#include <utility>

#include "platform/linux/file_io.h"

namespace quenlarch::notification_host::provider {
namespace {

constexpr long kValidSeconds = 30L * 24 * 60 * 60;

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string failure(const std::string& step) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return "cannot make a certificate for the provider endpoint: " + step + ": " + text;
}

bool isIpAddress(const std::string& host) {
  unsigned char address[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The host part of ADDRESS:PORT, without an IPv6 address's brackets; empty when there is none.
std::string hostOf(const std::string& listen) {
  const std::size_t colon = listen.rfind(':');
  std::string host = colon == std::string::npos ? listen : listen.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return host;
}

// The names a client may reach the endpoint by: the listen host (unless it is a wildcard, which
// no client dials) and loopback, where a developer tries it first.
std::string subjectAltNames(const std::string& host) {
  std::string names = "IP:127.0.0.1,IP:::1,DNS:localhost";
  const bool wildcard = host.empty() || host == "0.0.0.0" || host == "::";
  if (wildcard || host == "127.0.0.1" || host == "::1" || host == "localhost") return names;
  return (isIpAddress(host) ? "IP:" : "DNS:") + host + "," + names;
}

Expected<std::string> pem(const std::function<int(BIO*)>& write, const std::string& what) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return unexpected(failure("writing the " + what));
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

Expected<Certificate> selfSigned(EVP_PKEY* key, const std::string& host) {
  Certificate cert(X509_new());
  if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) {
    return unexpected(failure("a new certificate"));
  }
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return unexpected(failure("a serial number"));
  serial[0] &= 0x7F;  // a positive number
  std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> number(
      BN_bin2bn(serial, sizeof serial, nullptr));
  if (!number || BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(cert.get())) == nullptr) {
    return unexpected(failure("a serial number"));
  }
  // A few minutes back, for a client whose clock is a little behind.
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -300);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidSeconds);
  X509_NAME* name = X509_get_subject_name(cert.get());
  const std::string commonName =
      host.empty() || host == "0.0.0.0" || host == "::" ? "localhost" : host;
  if (X509_set_pubkey(cert.get(), key) != 1 ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>("notification-host"), -1,
                                 -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1 ||
      X509_set_issuer_name(cert.get(), name) != 1) {
    return unexpected(failure("the certificate's names"));
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  const std::string altNames = subjectAltNames(host);
  const std::pair<int, const char*> extensions[] = {
      {NID_basic_constraints, "critical,CA:TRUE"},
      {NID_subject_key_identifier, "hash"},
      {NID_authority_key_identifier, "keyid:always"},
      {NID_subject_alt_name, altNames.c_str()},
  };
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    const bool added = extension != nullptr && X509_add_ext(cert.get(), extension, -1) == 1;
    X509_EXTENSION_free(extension);
    if (!added) return unexpected(failure(std::string("the extension ") + OBJ_nid2sn(nid)));
  }
  if (X509_sign(cert.get(), key, EVP_sha256()) == 0) return unexpected(failure("signing"));
  return cert;
}

}  // namespace

CertificateFiles certificateFilesBeside(const std::string& socketPath) {
  std::string stem = socketPath;
  if (stem.ends_with(".sock")) stem.resize(stem.size() - 5);
  return {stem + "-provider.pem", stem + "-provider.key"};
}

Expected<void> writeSelfSignedCertificate(const std::string& listen,
                                          const CertificateFiles& files) {
  Key key(EVP_EC_gen("P-256"));
  if (!key) return unexpected(failure("a P-256 key"));
  auto cert = selfSigned(key.get(), hostOf(listen));
  if (!cert) return unexpected(cert.error());
  auto keyPem = pem(
      [&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
      },
      "key");
  if (!keyPem) return unexpected(keyPem.error());
  auto certPem = pem([&](BIO* bio) { return PEM_write_bio_X509(bio, cert->get()); }, "certificate");
  if (!certPem) return unexpected(certPem.error());
  for (const auto& [path, bytes, mode] : {std::tuple{files.key, *keyPem, mode_t{0600}},
                                          std::tuple{files.certificate, *certPem, mode_t{0644}}}) {
    if (std::optional<FileError> error = writeFileAtomically(path, bytes, mode)) {
      return unexpected("cannot write " + path + ": " + error->message());
    }
  }
  return {};
}

}  // namespace quenlarch::notification_host::provider
