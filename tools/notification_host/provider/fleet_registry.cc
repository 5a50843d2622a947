// FleetDeviceRegistry: a registry per device made on its first push, so a fleet of thousands that
// gets pushes for a few keeps a few.
#include "tools/notification_host/provider/fleet_registry.h"

namespace quenlarch::notification_host::provider {

FleetDeviceRegistry::FleetDeviceRegistry(const std::vector<FleetDevice>& devices, std::string team)
    : team_(std::move(team)) {
  for (const FleetDevice& device : devices)
    byToken_.emplace(device.deviceToken, Entry{device.app, nullptr});
  if (!devices.empty()) firstToken_ = devices.front().deviceToken;
}

std::optional<DeviceRegistration> FleetDeviceRegistry::read(Entry& entry) {
  if (!entry.registry) entry.registry = std::make_unique<PlistDeviceRegistry>(entry.app);
  return entry.registry->current();
}

std::optional<DeviceRegistration> FleetDeviceRegistry::current() {
  auto it = byToken_.find(firstToken_);
  return it == byToken_.end() ? std::nullopt : read(it->second);
}

std::optional<DeviceRegistration> FleetDeviceRegistry::find(const std::string& token) {
  auto it = byToken_.find(token);
  if (it == byToken_.end()) return DeviceRegistration{"", team_, std::nullopt};
  return read(it->second);
}

}  // namespace quenlarch::notification_host::provider
