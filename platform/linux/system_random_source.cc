// arc4random_uniform: glibc 2.36 draws from getrandom and rejects out-of-range values.
#include "platform/linux/system_random_source.h"

#include <stdlib.h>

namespace quenlarch {

std::uint32_t SystemRandomSource::uniform(std::uint32_t upperBound) {
  return ::arc4random_uniform(upperBound);
}

}  // namespace quenlarch
