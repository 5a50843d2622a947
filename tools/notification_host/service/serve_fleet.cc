// serve --fleet: one host for every device (the apps are copies of one, so the first one's strings
// and bundle id stand for all), the fleet's engines and queue, and a registry made from the same
// manifest for the endpoint.
#include <memory>

#include "platform/linux/fleet_manifest.h"
#include "tools/notification_host/provider/fleet_registry.h"
#include "tools/notification_host/push/push_intake.h"
#include "tools/notification_host/service/client_protocol.h"
#include "tools/notification_host/service/fleet_devices.h"
#include "tools/notification_host/service/fleet_pushes.h"
#include "tools/notification_host/service/fleet_requests.h"
#include "tools/notification_host/service/serve_parts.h"

namespace quenlarch::notification_host {

Expected<ServeParts> fleetParts(const std::string& dir, std::size_t warm, const ServeSetup& setup) {
  Expected<std::vector<FleetDevice>> manifest = readFleetManifest(dir);
  if (!manifest) return unexpected(manifest.error());
  if (manifest->empty()) return unexpected("the fleet in " + dir + " has no devices");
  ServeParts parts;
  parts.app = manifest->front().app;
  parts.bundleId = bundleIdentifier(parts.app);
  parts.fleetDevices = manifest->size();
  if (parts.bundleId.empty()) {
    return unexpected(parts.app + " has no CFBundleIdentifier in its Info.plist");
  }
  parts.registry =
      std::make_unique<provider::FleetDeviceRegistry>(*manifest, manifest->front().team);
  FleetDevices* devices = parts.keep(
      std::make_unique<FleetDevices>(setup.loop, std::move(*manifest), setup.engine, warm));
  NotificationHost* host = parts.keep(std::make_unique<NotificationHost>(
      nullptr, setup.loop, parts.app, setup.host->desktop(), setup.print,
      client_protocol::kMaxAnswerBytes, setup.host->extensionScope()));
  FleetPushes* pushes = parts.keep(std::make_unique<FleetPushes>(
      *devices, *host, setup.loop, setup.providerQueue, setup.print, setup.reportIdle));
  parts.requests =
      parts.keep(std::make_unique<FleetRequests>(*devices, *pushes, *host, parts.bundleId));
  parts.engines = devices;
  parts.sink = pushes;
  parts.host = host;
  parts.pushesBusy = [pushes] { return pushes->busy(); };
  parts.stopTaking = [pushes] { pushes->stopTaking(); };
  parts.setOutputBehind = [pushes](std::function<bool()> behind) {
    pushes->setOutputBehind(std::move(behind));
  };
  return parts;
}

}  // namespace quenlarch::notification_host
