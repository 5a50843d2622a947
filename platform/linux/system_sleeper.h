// Real pauses (usleep).
#pragma once

#include "platform/sleeper.h"

namespace quenlarch {

class SystemSleeper final : public Sleeper {
 public:
  void sleepMicroseconds(std::uint32_t microseconds) override;
};

}  // namespace quenlarch
