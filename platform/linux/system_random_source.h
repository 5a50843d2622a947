// The system's cryptographically secure random source (glibc arc4random_uniform, which draws
// without modulo bias).
#pragma once

#include "platform/random_source.h"

namespace quenlarch {

class SystemRandomSource final : public RandomSource {
 public:
  std::uint32_t uniform(std::uint32_t upperBound) override;
};

}  // namespace quenlarch
