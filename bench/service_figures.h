// Figures for notification-host serve: one warm push over a persistent client connection against
// one durable commit; eight clients with eight requests in flight against the serial commit rate,
// with the stored count checked; and the warm extension's resident memory over many pushes.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace quenlarch::bench {

struct ServiceSetup {
  std::string host;      // notification-host
  std::string badgeApp;  // badge-app, to set and read the stored count
  std::string app;       // an app installed by badge-app, counter enabled
  std::string keychain;  // its keychain store
  std::string payload;   // a counted push payload file
  int runs = 300;        // timed single pushes
  int pushes = 10000;    // pushes from eight clients with --parallel 8
};

nlohmann::json measureService(const ServiceSetup& setup);

}  // namespace quenlarch::bench
