// The devices of a fleet as serve --fleet runs them: one engine per device, each starting that
// device's own app extension with that device's keychain, so each counts its badge exactly as one
// device would. An engine is made on the device's first push, and at most `warm` extension
// processes are alive at once across all of them (warm_slots.h), so a fleet of thousands costs
// little more than its warm extensions.
// Runs on the service's loop thread.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/fleet_manifest.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/engine/warm_slots.h"
#include "tools/notification_host/service/service.h"

namespace quenlarch::notification_host {

class FleetDevices final : public ServiceEngines {
 public:
  // `engine`: the options every device's engine gets, its launch and slots filled in per device.
  FleetDevices(sd_event* loop, std::vector<FleetDevice> devices, EngineOptions engine,
               std::size_t warm);
  FleetDevices(const FleetDevices&) = delete;
  FleetDevices& operator=(const FleetDevices&) = delete;

  std::size_t size() const { return devices_.size(); }
  const std::vector<FleetDevice>& manifest() const { return manifest_; }
  // The device with `token` (lowercase); none when the fleet has no such device.
  std::optional<std::size_t> find(const std::string& token) const;
  // The device's engine, made on first use; none when its app has no extension that can run (said
  // once), and then its pushes are shown as received.
  HostEngine* engine(std::size_t device);
  // Its engine's status; all zero before its first push.
  EngineStatus status(std::size_t device) const;
  // Extension processes alive or starting, and the most there may be.
  std::size_t warm() const { return slots_.warm(); }
  std::size_t warmLimit() const { return slots_.limit(); }
  // Pushes submitted to an engine and not yet answered.
  unsigned pushesInFlight() const;

  bool busy() const override;
  void stop(std::function<void()> stopped) override;

 private:
  struct Device {
    std::unique_ptr<HostEngine> engine;
    bool unusable = false;  // its app has no extension that can run
  };
  void stoppedOne();

  sd_event* loop_;
  const std::vector<FleetDevice> manifest_;
  const EngineOptions options_;
  WarmSlots slots_;  // before the engines, which hold it until they go
  std::vector<Device> devices_;
  std::unordered_map<std::string, std::size_t> byToken_;
  std::vector<HostEngine*> made_;  // the engines made so far, in order
  std::size_t stopsPending_ = 0;
  std::function<void()> stopped_;
};

}  // namespace quenlarch::notification_host
