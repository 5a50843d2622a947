// usleep, which a signal may cut short; a shorter pause only makes a retry come sooner.
#include "platform/linux/system_sleeper.h"

#include <unistd.h>

namespace quenlarch {

void SystemSleeper::sleepMicroseconds(std::uint32_t microseconds) { ::usleep(microseconds); }

}  // namespace quenlarch
