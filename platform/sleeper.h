// Blocking pauses, as a seam so that retry loops can be tested without waiting.
// Thread safety: implementations may be called from several threads at once.
#pragma once

#include <cstdint>

namespace quenlarch {

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;

  // Blocks the calling thread for about `microseconds`.
  virtual void sleepMicroseconds(std::uint32_t microseconds) = 0;

 protected:
  Sleeper() = default;
};

}  // namespace quenlarch
