// The provider endpoint as a command runs it: its command-line options (for `serve`, and for the
// tests' provider-test-server) and everything they set up on the command's sd-event loop: TLS,
// the provider keys, the app's topic and registration, the request mapping and the listener.
//
//   --provider-listen ADDR:PORT   serve the endpoint there (127.0.0.1:8443, [::1]:8443)
//   --tls-cert PEM --tls-key PEM  the endpoint's certificate (with its chain) and key
//   --provider-key KEYID=PEM      a key that provider tokens may be signed with (repeatable)
//   --provider-ca PEM             client certificates this authority issued authenticate requests
//                                 (client_certificate.h); alone, without keys, they are the only
//                                 way
//   --provider-auth token|none    none: nothing is checked (local development; said on stderr)
//   --request-log FILE            every request, taken or refused, as a JSON line (request_log.h)
//   --inject REASON:RATE          answer that share of requests with REASON (failure_injection.h)
//   --inject-seed N               the seed of those draws, for a repeatable run
#pragma once

#include <systemd/sd-event.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/expected.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/provider/device_registry.h"
#include "tools/notification_host/provider/failure_injection.h"
#include "tools/notification_host/provider/provider_endpoint.h"
#include "tools/notification_host/provider/provider_limits.h"
#include "tools/notification_host/provider/provider_server.h"
#include "tools/notification_host/provider/provider_sink.h"
#include "tools/notification_host/provider/request_log.h"

namespace quenlarch::notification_host::provider {

struct ProviderArgs {
  std::optional<std::string> listen;
  std::string tlsCert;
  std::string tlsKey;
  std::vector<std::string> keys;  // KEYID=PEM
  std::optional<std::string> providerCa;
  std::string auth = "token";
  std::optional<std::string> requestLog;
  std::vector<std::string> inject;  // REASON:RATE
  std::optional<std::uint64_t> injectSeed;
};

void addProviderOptions(CLI::App& command, ProviderArgs& args);

class ProviderService {
 public:
  // The endpoint for the app at `appPath`, whose pushes name `bundleId` (bundleIdentifier in
  // push_intake.h, read once by the caller) as their topic, listening and handing accepted pushes
  // to `sink`; one line when an option, a file or the app is unusable. With --provider-auth none it
  // says so through `console`, as it does each connection dropped before a request and each
  // refused request (both rate-limited).
  // `registry`: whose tokens pushes may name; none: the app's own registration.
  // `console` outlives the service. REQUIRES: args.listen.
  static Expected<std::unique_ptr<ProviderService>> start(
      sd_event* event, const ProviderArgs& args, const std::string& appPath,
      const std::string& bundleId, ProviderSink& sink, const tools::Console& console,
      const ProviderLimits& limits = {}, std::unique_ptr<DeviceRegistry> registry = nullptr);

  const ProviderServer& server() const { return *server_; }
  // See ProviderServer::stop.
  void stop(Clock::duration allowance, std::function<void()> drained) {
    server_->stop(allowance, std::move(drained));
  }

 private:
  ProviderService() = default;

  std::unique_ptr<RequestLog> log_;  // outlives the server, which records to it
  std::unique_ptr<FailureInjector> injector_;
  std::unique_ptr<DeviceRegistry> registry_;
  std::unique_ptr<ProviderEndpoint> endpoint_;
  std::unique_ptr<ProviderServer> server_;
};

}  // namespace quenlarch::notification_host::provider
