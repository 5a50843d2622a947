// Figures for a process per push: one push through notification-host as a whole, one push
// through the BadgeService executable alone, and their floor, a trivial process linked with the
// same libraries doing one durable single-row commit; plus OpenSSL's first use in a fresh process.
// The kinds of run take turns, so that a slow spell of the machine hits them all alike.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace quenlarch::bench {

struct StartupSetup {
  std::string host;      // notification-host
  std::string app;       // an app installed by badge-app, counter enabled
  std::string keychain;  // its keychain store
  std::string payload;   // a counted push payload file
  std::string trivial;   // bench-trivial
  int runs = 30;
};

// Medians in milliseconds (OpenSSL figures in microseconds), and how many pushes counted.
nlohmann::json measureStartup(const StartupSetup& setup);

}  // namespace quenlarch::bench
