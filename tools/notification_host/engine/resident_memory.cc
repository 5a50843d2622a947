// Resident memory: /proc/PID/statm for the current size (one short read from a descriptor kept
// open, cheap enough to take every millisecond), /proc/PID/status for the high-water mark.
#include "tools/notification_host/engine/resident_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace quenlarch::notification_host {

ResidentSize::ResidentSize(pid_t pid)
    : fd_(::open(("/proc/" + std::to_string(pid) + "/statm").c_str(), O_RDONLY | O_CLOEXEC)) {}

ResidentSize::~ResidentSize() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<std::uint64_t> ResidentSize::bytes() const {
  if (fd_ < 0) return std::nullopt;
  char text[128];
  const ssize_t n = ::pread(fd_, text, sizeof text - 1, 0);
  if (n <= 0) return std::nullopt;  // ESRCH once the process is gone
  text[n] = '\0';
  // "size resident shared ...", in pages.
  char* end = nullptr;
  std::strtoull(text, &end, 10);
  const unsigned long long pages = std::strtoull(end, nullptr, 10);
  static const auto pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return static_cast<std::uint64_t>(pages) * pageSize;
}

std::optional<std::uint64_t> peakResidentBytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) {
      return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;  // given in kB
    }
  }
  return std::nullopt;
}

}  // namespace quenlarch::notification_host
