// FleetDevices: where each device's extension is found (a stat and a plist read) is looked up on
// its first push, not for the whole fleet at start.
#include "tools/notification_host/service/fleet_devices.h"

#include <variant>

#include "tools/notification_host/diagnostics.h"
#include "tools/notification_host/extension_locator.h"

namespace quenlarch::notification_host {

FleetDevices::FleetDevices(sd_event* loop, std::vector<FleetDevice> devices, EngineOptions engine,
                           std::size_t warm)
    : loop_(loop),
      manifest_(std::move(devices)),
      options_(std::move(engine)),
      slots_(warm),
      devices_(manifest_.size()) {
  for (std::size_t i = 0; i < manifest_.size(); ++i) byToken_.emplace(manifest_[i].deviceToken, i);
}

std::optional<std::size_t> FleetDevices::find(const std::string& token) const {
  auto it = byToken_.find(token);
  if (it == byToken_.end()) return std::nullopt;
  return it->second;
}

HostEngine* FleetDevices::engine(std::size_t device) {
  Device& state = devices_[device];
  if (state.engine || state.unusable) return state.engine.get();
  const FleetDevice& entry = manifest_[device];
  auto located = locateServiceExtension(entry.app);
  if (const auto* notFound = std::get_if<NotFound>(&located)) {
    state.unusable = true;
    note("device " + entry.deviceToken + ": " + noExtensionText(entry.app, *notFound) +
         "; its pushes are shown as received");
    return nullptr;
  }
  EngineOptions options = options_;
  options.launch = ExtensionLaunch{std::get<std::string>(located), entry.keychain};
  options.slots = &slots_;
  auto made = HostEngine::create(loop_, std::move(options));
  if (!made) {
    state.unusable = true;
    note("device " + entry.deviceToken + ": " + made.error() +
         "; its pushes are shown as received");
    return nullptr;
  }
  state.engine = std::move(*made);
  made_.push_back(state.engine.get());
  return state.engine.get();
}

EngineStatus FleetDevices::status(std::size_t device) const {
  const Device& state = devices_[device];
  return state.engine ? state.engine->status() : EngineStatus{};
}

unsigned FleetDevices::pushesInFlight() const {
  unsigned pushes = 0;
  for (const HostEngine* engine : made_) pushes += engine->pushesWaitingOrInFlight();
  return pushes;
}

bool FleetDevices::busy() const {
  for (const HostEngine* engine : made_) {
    if (engine->busy()) return true;
  }
  return false;
}

void FleetDevices::stop(std::function<void()> stopped) {
  stopped_ = std::move(stopped);
  stopsPending_ = made_.size() + 1;  // one for this call, so none can finish it early
  for (HostEngine* engine : made_) engine->stop([this] { stoppedOne(); });
  stoppedOne();
}

void FleetDevices::stoppedOne() {
  if (--stopsPending_ > 0 || !stopped_) return;
  std::function<void()> stopped = std::move(stopped_);
  stopped_ = nullptr;
  stopped();
}

}  // namespace quenlarch::notification_host
