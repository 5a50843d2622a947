// The one-shot SHA256() needs no EVP context and does not load OpenSSL's configuration file.
#include "platform/linux/openssl_sha256.h"

#include <openssl/sha.h>

namespace quenlarch {

Sha256Digest OpenSslSha256::digest(std::span<const std::uint8_t> message) const {
  Sha256Digest out{};
  SHA256(message.data(), message.size(), out.data());
  return out;
}

}  // namespace quenlarch
