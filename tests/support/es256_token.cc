// Signing with EVP_DigestSign, then the DER signature turned into the raw r || s JWTs carry.
#include "tests/support/es256_token.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/pem.h>

#include <string_view>
#include <vector>

namespace quenlarch::testing {
namespace {

std::string base64Url(std::string_view bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

}  // namespace

std::shared_ptr<EVP_PKEY> newEcKey(const char* curve) {
  return {EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve), EVP_PKEY_free};
}

std::string keyPem(EVP_PKEY* key, bool privateHalf) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (privateHalf) {
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  } else {
    PEM_write_bio_PUBKEY(bio, key);
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  std::string text(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return text;
}

std::string es256Token(const nlohmann::json& header, const nlohmann::json& claims, EVP_PKEY* key) {
  const std::string signedText = base64Url(header.dump()) + "." + base64Url(claims.dump());
  const auto* text = reinterpret_cast<const unsigned char*>(signedText.data());
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  std::size_t length = 0;
  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key);
  EVP_DigestSign(context, nullptr, &length, text, signedText.size());
  std::vector<unsigned char> der(length);
  EVP_DigestSign(context, der.data(), &length, text, signedText.size());
  EVP_MD_CTX_free(context);
  const unsigned char* cursor = der.data();
  ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(length));
  std::string raw(64, '\0');
  auto* out = reinterpret_cast<unsigned char*>(raw.data());
  BN_bn2binpad(ECDSA_SIG_get0_r(sig), out, 32);
  BN_bn2binpad(ECDSA_SIG_get0_s(sig), out + 32, 32);
  ECDSA_SIG_free(sig);
  return signedText + "." + base64Url(raw);
}

}  // namespace quenlarch::testing
