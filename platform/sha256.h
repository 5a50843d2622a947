// SHA-256 digests (FIPS 180-4). Thread safety: implementations are stateless and shareable.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quenlarch {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  virtual ~Sha256() = default;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  virtual Sha256Digest digest(std::span<const std::uint8_t> message) const = 0;

 protected:
  Sha256() = default;
};

}  // namespace quenlarch
