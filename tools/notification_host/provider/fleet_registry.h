// A fleet's registrations for the provider endpoint: each device's token, as the fleet's manifest
// lists it, leads to that device's app, whose registration file is read as PlistDeviceRegistry
// reads one app's (again whenever it changed), so a device uninstalled while the service runs is
// answered Unregistered at once. A token no device has is answered against the fleet's team with
// no device token, which the endpoint refuses as BadDeviceToken.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/fleet_manifest.h"
#include "tools/notification_host/provider/device_registry.h"

namespace quenlarch::notification_host::provider {

class FleetDeviceRegistry final : public DeviceRegistry {
 public:
  // `devices`: the manifest's; `team`: the one their tokens were issued for.
  FleetDeviceRegistry(const std::vector<FleetDevice>& devices, std::string team);

  // The first device's registration: what the endpoint's welcome shows.
  std::optional<DeviceRegistration> current() override;
  std::optional<DeviceRegistration> find(const std::string& token) override;

 private:
  struct Entry {
    std::string app;
    std::unique_ptr<PlistDeviceRegistry> registry;  // made on the first push to the device
  };
  std::optional<DeviceRegistration> read(Entry& entry);

  std::unordered_map<std::string, Entry> byToken_;
  std::string firstToken_;
  std::string team_;
};

}  // namespace quenlarch::notification_host::provider
