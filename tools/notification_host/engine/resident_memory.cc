// Resident memory: /proc/PID/statm for the current size (one short read, cheap enough to take
// every millisecond), /proc/PID/status for the high-water mark.
#include "tools/notification_host/engine/resident_memory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace quenlarch::notification_host {

std::optional<std::uint64_t> residentBytes(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/statm";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char text[128];
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  text[n] = '\0';
  // "size resident shared ...", in pages.
  char* end = nullptr;
  std::strtoull(text, &end, 10);
  unsigned long long pages = std::strtoull(end, nullptr, 10);
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
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
