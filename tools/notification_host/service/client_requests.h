// What the service answers to each client line: a status line from the engine, a refusal for a
// payload that deliver would refuse, an error for a malformed line, and for an accepted push the
// line NotificationHost shows for it; a device line's answer is the device's state.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "tools/notification_host/engine/host_engine.h"
#include "tools/notification_host/notification_host.h"
#include "tools/notification_host/service/client_connection.h"
#include "tools/notification_host/service/client_protocol.h"
#include "tools/notification_host/service/provider_pushes.h"

namespace quenlarch::notification_host {

// The status answer: {"type":"status","extensionPid","extensionStarts","pushesInFlight",
// "extensionPeakResidentBytes","deviceAway","storedPush"}; `device`: none when it is never away.
std::string statusAnswer(const EngineStatus& status, const StoreAndForward* device);
// The device's part of the status and device answers: "deviceAway" and "storedPush".
void addDeviceState(nlohmann::ordered_json& line, const StoreAndForward* device);
// The device answer once a device line took effect; `delivered`: the kept push it handed on.
std::string deviceAnswer(const StoreAndForward* device,
                         const std::optional<std::string>& delivered);
// A client's push through the intake, as the host receives it; or the refusal to answer with.
Expected<IncomingPush, std::string> incomingPush(client_protocol::Push& push,
                                                 const std::string& bundleId,
                                                 Clock::time_point arrival);

// What answers each client line on the service's socket: one app's requests, or a fleet's.
class RequestAnswerer {
 public:
  virtual ~RequestAnswerer() = default;
  // Answers `line`, which arrived now, through `reply`, exactly once.
  virtual void answer(std::string_view line, ClientConnection::Reply reply) = 0;
};

class ClientRequests final : public RequestAnswerer {
 public:
  // `bundleId`: the app's CFBundleIdentifier, which a push's apns-topic must name. `provider`:
  // where the device's presence is kept (the provider's pushes are the ones stored).
  ClientRequests(HostEngine& engine, NotificationHost& host, std::string bundleId,
                 ProviderPushes* provider = nullptr)
      : engine_(engine), host_(host), bundleId_(std::move(bundleId)), provider_(provider) {}

  // Answers `line`, which arrived now, through `reply`.
  void answer(std::string_view line, ClientConnection::Reply reply) override;

 private:
  HostEngine& engine_;
  NotificationHost& host_;
  const std::string bundleId_;
  ProviderPushes* provider_;
};

}  // namespace quenlarch::notification_host
