// A uniform random source. The real one is the system's cryptographically secure generator; the
// seam lets tests script the pauses of a retry loop.
// Thread safety: implementations may be called from several threads at once.
#pragma once

#include <cstdint>

namespace quenlarch {

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  RandomSource(const RandomSource&) = delete;
  RandomSource& operator=(const RandomSource&) = delete;

  // A value drawn uniformly from 0 .. upperBound-1, without modulo bias. REQUIRES: upperBound > 0.
  virtual std::uint32_t uniform(std::uint32_t upperBound) = 0;

 protected:
  RandomSource() = default;
};

}  // namespace quenlarch
