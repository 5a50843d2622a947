// Memory of the extension: one long-lived BadgeService process serves many pushes over the line
// protocol; its peak resident set (VmHWM) and its anonymous resident memory (RssAnon, where a leak
// would show) are read after push 100 and after the last one, and its resident set is split by
// mapping. The floor is bench-trivial (same libraries) holding still
// after one durable commit, and after none.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace quenlarch::bench {

struct MemorySetup {
  std::string app;       // an app installed by badge-app, counter enabled
  std::string keychain;  // its keychain store
  std::string trivial;   // bench-trivial
  int pushes = 1000;
};

// KiB throughout.
nlohmann::json measureMemory(const MemorySetup& setup);

}  // namespace quenlarch::bench
