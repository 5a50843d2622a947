// Resident memory of another process, read from /proc: what the service's memory limit is
// measured against, and the peak the service reports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace quenlarch::notification_host {

// Bytes of `pid` resident in memory now, or none when the process is gone.
std::optional<std::uint64_t> residentBytes(pid_t pid);
// The highest resident size `pid` has had (VmHWM), or none when the process is gone.
std::optional<std::uint64_t> peakResidentBytes(pid_t pid);

}  // namespace quenlarch::notification_host
