// What serve says on stderr when the provider endpoint starts, so that a first push needs no
// reading: the device token, topic, team, keys and client certificates it accepts, where its
// certificate is, and one curl command that pushes to it as printed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/notification_host/provider/device_registry.h"
#include "tools/notification_host/provider/provider_service.h"

namespace quenlarch::notification_host::provider {

struct EndpointFacts {
  std::string boundAddress;  // as the server reports it: "127.0.0.1:8443", "[::]:8443"
  std::string topic;         // the app's CFBundleIdentifier
  std::optional<DeviceRegistration> registration;
  std::vector<std::string> keyIds;  // empty: no token authentication
  std::string certificate;          // the file a client trusts
  bool throwawayCertificate = false;
  std::string clientCa = {};  // --provider-ca; empty: no certificate authentication
  // The devices of a fleet (their tokens are its manifest's); 0 for one app, whose registration
  // `registration` is. For a fleet it is the first device's, whose token the curl line names.
  std::size_t fleetDevices = 0;
};

// The facts of the endpoint serve started for `args` and the app at `appPath`, whose pushes name
// `topic`.
EndpointFacts endpointFacts(const ProviderArgs& args, const std::string& appPath,
                            const std::string& topic, const std::string& boundAddress,
                            bool throwawayCertificate);

// The lines to say, without the program's name.
std::vector<std::string> welcomeLines(const EndpointFacts& facts);

}  // namespace quenlarch::notification_host::provider
