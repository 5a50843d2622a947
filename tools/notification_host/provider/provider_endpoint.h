// The provider API's one route, POST /3/device/<token>, from a complete request to its answer:
// the method and path, the provider token or client certificate, the request headers
// (push_headers.h), the device registration, the payload through the intake (push_intake.h), then
// the sink. Knows nothing of HTTP/2 or TLS (http2_connection.h feeds it requests), so its rules are
// the same whatever carries them. Runs on the endpoint's event loop.
//
// Answers, in the order the request is checked:
//   405 MethodNotAllowed        not POST
//   404 BadPath                 not /3/device/...
//   400 MissingDeviceToken      /3/device/ with no token
//   400 DuplicateHeaders        authorization given twice (other headers: see push_headers.h)
//   403 MissingProviderToken, InvalidProviderToken, ExpiredProviderToken   (unless auth is off)
//   429 TooManyProviderTokenUpdates   a new token within 20 minutes of the last (provider_token.h)
//   403 BadCertificate, BadCertificateEnvironment   by certificate (client_certificate.h)
//   400 header reasons          push_headers.h
//   400 TopicDisallowed         by certificate: an apns-topic the certificate does not name
//   400 BadDeviceToken          not 64 hexadecimal digits, or not this app's token
//   410 Unregistered            the token was retired; the body carries "timestamp" (ms)
//   400 DeviceTokenNotForTopic  by certificate, no apns-topic: the certificate's is another app's
//   400/413 payload and topic reasons   push_intake.h (topic of another app:
//                               DeviceTokenNotForTopic; with auth on, no topic: MissingTopic)
//   200, 429 TooManyRequests, 503 ServiceUnavailable, or a refusal   from the sink
// Every answer carries an apns-id: the request's when it gave a valid one, else a new one. Error
// bodies are {"reason": NAME} (and "timestamp" for 410).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/notification_host/provider/client_certificate.h"
#include "tools/notification_host/provider/device_registry.h"
#include "tools/notification_host/provider/provider_sink.h"
#include "tools/notification_host/provider/provider_token.h"
#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host::provider {

struct ProviderRequest {
  std::string method;
  std::string path;
  std::vector<push::HeaderField> headers;  // the regular (not pseudo-) headers, in order
  std::string body;
  // The connection's client certificate, read once after its handshake; null before HTTP/2.
  std::shared_ptr<const ClientCertificate> certificate = nullptr;
  // Where the HTTP/2 layer answers before the request is whole: its body passed the most any
  // push may carry, or the service stopped while the rest was awaited. The answer is then that
  // one (answerCut()), and the request is logged like any other.
  enum class Cut { kNone, kTooLarge, kStopping };
  Cut cut = Cut::kNone;
};

struct ProviderAnswer {
  unsigned status = 200;
  std::string apnsId;
  std::string body;        // empty for 200, else the JSON error body
  std::string cause = {};  // why it was refused, in words for the service's log; never sent
};

// An error answer: {"reason": reason} with `status`, and "timestamp" when given.
ProviderAnswer errorAnswer(unsigned status, std::string_view reason, std::string apnsId,
                           std::optional<std::int64_t> timestampMs = std::nullopt);

// The answer for a request the HTTP/2 layer cut short (request.cut is not kNone): 413
// PayloadTooLarge before the rest of its body is read, or 503 ServiceUnavailable while stopping.
ProviderAnswer cutAnswer(const ProviderRequest& request);
// The answer for a request that --inject picked to fail with `injected`'s reason and status.
struct Injection;
ProviderAnswer injectedAnswer(const Injection& injected,
                              const std::vector<push::HeaderField>& headers);

class ProviderEndpoint {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `verifier` null: no provider tokens are checked. `certificates`: requests are authenticated
  // by their connection's client certificate: all of them without a verifier, else those that
  // bring no authorization header but a certificate. Neither: --provider-auth none.
  ProviderEndpoint(
      std::string bundleId, std::unique_ptr<ProviderTokenVerifier> verifier, bool certificates,
      DeviceRegistry& registry, ProviderSink& sink,
      Clock clock = [] { return std::chrono::system_clock::now(); });

  ProviderAnswer answer(ProviderRequest request);

 private:
  std::string bundleId_;
  std::unique_ptr<ProviderTokenVerifier> verifier_;
  bool certificates_;
  DeviceRegistry& registry_;
  ProviderSink& sink_;
  Clock clock_;
};

}  // namespace quenlarch::notification_host::provider
