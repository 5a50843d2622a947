// What serve runs behind its socket and its provider endpoint, for one app (--app) or for a fleet
// of devices (--fleet): the engines it stops last, what answers client lines, where the endpoint
// hands pushes and whose tokens it takes. serve_command.cc makes one app's; serve_fleet.cc a
// fleet's.
#pragma once

#include <systemd/sd-event.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/host_options.h"
#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/provider/device_registry.h"
#include "tools/notification_host/provider/provider_sink.h"
#include "tools/notification_host/service/client_requests.h"
#include "tools/notification_host/service/service.h"

namespace quenlarch::notification_host {

struct ServeParts {
  // Whose strings render alerts and whose registration the endpoint's welcome shows.
  std::string app;
  std::string bundleId;
  std::size_t fleetDevices = 0;  // 0: one app
  ServiceEngines* engines = nullptr;
  RequestAnswerer* requests = nullptr;
  provider::ProviderSink* sink = nullptr;
  NotificationHost* host = nullptr;
  std::unique_ptr<provider::DeviceRegistry> registry;  // none: the app's own registration
  std::function<bool()> pushesBusy;                    // taken and not yet shown or dropped
  std::function<void()> stopTaking;
  std::function<void(std::function<bool()>)> setOutputBehind;

  // Keeps `part` until these parts go; parts go in the reverse order of keeping.
  template <typename T>
  T* keep(std::unique_ptr<T> part) {
    T* raw = part.get();
    owned_.push_back(std::shared_ptr<void>(std::move(part)));
    return raw;
  }
  ServeParts() = default;
  ServeParts(ServeParts&&) = default;
  ServeParts& operator=(ServeParts&&) = default;
  ~ServeParts() {
    while (!owned_.empty()) owned_.pop_back();
  }

 private:
  std::vector<std::shared_ptr<void>> owned_;
};

// What both kinds share, from serve's options.
struct ServeSetup {
  sd_event* loop = nullptr;
  const HostArgs* host = nullptr;
  EngineOptions engine;  // every option but the launch
  NotificationHost::ShownLine print;
  unsigned providerQueue = 0;
  std::function<void()> reportIdle;
};

// The fleet in `dir` (its manifest), with at most `warm` extensions alive at once.
Expected<ServeParts> fleetParts(const std::string& dir, std::size_t warm, const ServeSetup& setup);

}  // namespace quenlarch::notification_host
