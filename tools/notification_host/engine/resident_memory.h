// Resident memory of another process, read from /proc: what the service's memory limit is
// measured against, and the peak the service reports.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace quenlarch::notification_host {

// The resident size of one process, sampled as often as every millisecond: /proc/PID/statm is
// opened once and read again from its start for each sample, which costs one system call instead
// of a path lookup, an open, a read and a close.
class ResidentSize {
 public:
  explicit ResidentSize(pid_t pid);
  ~ResidentSize();
  ResidentSize(const ResidentSize&) = delete;
  ResidentSize& operator=(const ResidentSize&) = delete;

  // Bytes resident now, or none when the process is gone.
  std::optional<std::uint64_t> bytes() const;

 private:
  int fd_;
};

// The highest resident size `pid` has had (VmHWM), or none when the process is gone.
std::optional<std::uint64_t> peakResidentBytes(pid_t pid);

}  // namespace quenlarch::notification_host
