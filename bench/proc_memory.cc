// Reading /proc/<pid>/status and /proc/<pid>/smaps.
#include "bench/proc_memory.h"

#include <fstream>
#include <sstream>

namespace quenlarch::bench {
namespace {

std::string procFile(pid_t pid, const char* name) {
  return "/proc/" + std::to_string(pid) + "/" + name;
}

// A mapping header starts with its address range, "start-end"; attribute lines with "Name:".
bool isMappingHeader(const std::string& line) {
  const std::string first = line.substr(0, line.find(' '));
  return first.find('-') != std::string::npos && first.find(':') == std::string::npos;
}

std::string mappingName(const std::string& header) {
  std::istringstream fields(header);
  std::string range, perms, offset, device, inode, path;
  fields >> range >> perms >> offset >> device >> inode;
  std::getline(fields >> std::ws, path);
  if (path.empty()) return "[anon]";
  if (path.front() == '[') return path;
  const std::size_t deleted = path.find(" (deleted)");
  if (deleted != std::string::npos) path.erase(deleted);
  return path.substr(path.rfind('/') + 1);
}

}  // namespace

std::optional<long> statusKiB(pid_t pid, const std::string& field) {
  std::ifstream in(procFile(pid, "status"));
  const std::string prefix = field + ":";
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with(prefix)) continue;
    std::istringstream value(line.substr(prefix.size()));
    long kib = 0;
    if (value >> kib) return kib;
  }
  return std::nullopt;
}

std::map<std::string, long> residentKiBByMapping(pid_t pid) {
  std::map<std::string, long> resident;
  std::ifstream in(procFile(pid, "smaps"));
  std::string current = "[anon]";
  for (std::string line; std::getline(in, line);) {
    if (isMappingHeader(line)) {
      current = mappingName(line);
    } else if (line.starts_with("Rss:")) {
      std::istringstream value(line.substr(4));
      long kib = 0;
      if (value >> kib) resident[current] += kib;
    }
  }
  return resident;
}

}  // namespace quenlarch::bench
