// What serve --fleet answers on its socket: push and device lines name their device by "token"
// (a line without one is refused, saying so), and a status line gives the fleet's summary, or
// with a token that device's state, shaped as one app's status.
#pragma once

#include <string>
#include <string_view>

#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/service/client_requests.h"
#include "tools/notification_host/service/fleet_devices.h"
#include "tools/notification_host/service/fleet_pushes.h"

namespace quenlarch::notification_host {

class FleetRequests final : public RequestAnswerer {
 public:
  // `bundleId`: the fleet's apps' CFBundleIdentifier, which a push's apns-topic must name.
  FleetRequests(FleetDevices& devices, FleetPushes& pushes, NotificationHost& host,
                std::string bundleId, Clock& clock = steadyClock())
      : devices_(devices),
        pushes_(pushes),
        host_(host),
        bundleId_(std::move(bundleId)),
        clock_(clock) {}

  void answer(std::string_view line, ClientConnection::Reply reply) override;

 private:
  std::string summary() const;

  FleetDevices& devices_;
  FleetPushes& pushes_;
  NotificationHost& host_;
  const std::string bundleId_;
  Clock& clock_;
};

}  // namespace quenlarch::notification_host
