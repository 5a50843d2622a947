// SHA-256 through OpenSSL's libcrypto.
#pragma once

#include "platform/sha256.h"

namespace quenlarch {

class OpenSslSha256 final : public Sha256 {
 public:
  Sha256Digest digest(std::span<const std::uint8_t> message) const override;
};

}  // namespace quenlarch
