// Memory of a live process as the kernel reports it: fields of /proc/<pid>/status (VmHWM, the
// peak resident set, and VmRSS), and the resident set split by what is mapped, from
// /proc/<pid>/smaps, so that each shared library's part can be named.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace quenlarch::bench {

// A "<field>: N kB" line of /proc/<pid>/status, in KiB; none when absent or unreadable.
std::optional<long> statusKiB(pid_t pid, const std::string& field);

// Resident KiB per mapped file (by file name: "libc.so.6", "BadgeService", "keychain.sqlite-shm"),
// with anonymous memory under "[anon]" and the kernel's own names for the rest ("[heap]",
// "[stack]", "[vdso]", ...). Empty when unreadable.
std::map<std::string, long> residentKiBByMapping(pid_t pid);

}  // namespace quenlarch::bench
