// The request checks, in the order the header comment lists them.
#include "tools/notification_host/provider/provider_endpoint.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <nlohmann/json.hpp>

#include "tools/notification_host/provider/failure_injection.h"

namespace quenlarch::notification_host::provider {
namespace {

constexpr std::string_view kDevicePath = "/3/device/";

bool isHexToken(std::string_view token) {
  return token.size() == 64 && std::all_of(token.begin(), token.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) != 0;
         });
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// The request's own apns-id when it is valid, else a new one.
std::string answerId(const std::optional<push::GivenHeaders>& given) {
  return given && given->apnsId ? *given->apnsId : push::newApnsId();
}

ProviderAnswer refused(unsigned status, std::string_view reason, std::string apnsId,
                       std::string cause) {
  ProviderAnswer answer = errorAnswer(status, reason, std::move(apnsId));
  answer.cause = std::move(cause);
  return answer;
}

ProviderAnswer refusalAnswer(const push::PushRefusal& refusal, std::string apnsId) {
  return refused(refusal.status, refusal.reason, std::move(apnsId), refusal.message);
}

}  // namespace

ProviderAnswer errorAnswer(unsigned status, std::string_view reason, std::string apnsId,
                           std::optional<std::int64_t> timestampMs) {
  nlohmann::ordered_json body{{"reason", reason}};
  if (timestampMs) body["timestamp"] = *timestampMs;
  return {status, std::move(apnsId), body.dump()};
}

ProviderAnswer cutAnswer(const ProviderRequest& request) {
  auto given = push::readHeaderFields(request.headers);
  std::string apnsId = given && given->apnsId ? *given->apnsId : push::newApnsId();
  if (request.cut == ProviderRequest::Cut::kStopping) {
    return refused(503, "ServiceUnavailable", std::move(apnsId),
                   "the service stopped before the request was whole");
  }
  return refused(413, "PayloadTooLarge", std::move(apnsId),
                 "the body passed " + std::to_string(push::kMaxVoipPayloadBytes) +
                     " bytes, the most any push may carry, before it ended");
}

ProviderAnswer injectedAnswer(const Injection& injected,
                              const std::vector<push::HeaderField>& headers) {
  auto given = push::readHeaderFields(headers);
  ProviderAnswer answer = errorAnswer(injected.status, injected.reason,
                                      given && given->apnsId ? *given->apnsId : push::newApnsId());
  std::array<char, 32> rate{};
  const auto written = std::to_chars(rate.data(), rate.data() + rate.size(), injected.rate);
  answer.cause =
      "injected (--inject " + injected.reason + ":" + std::string(rate.data(), written.ptr) + ")";
  return answer;
}

ProviderEndpoint::ProviderEndpoint(std::string bundleId,
                                   std::unique_ptr<ProviderTokenVerifier> verifier,
                                   bool certificates, DeviceRegistry& registry, ProviderSink& sink,
                                   Clock clock)
    : bundleId_(std::move(bundleId)),
      verifier_(std::move(verifier)),
      certificates_(certificates),
      registry_(registry),
      sink_(sink),
      clock_(std::move(clock)) {}

ProviderAnswer ProviderEndpoint::answer(ProviderRequest request) {
  // The request's apns-id is wanted in every answer, so the headers are read first; a refusal
  // among them is answered only after the path and the token.
  auto read = push::readHeaderFields(request.headers);
  std::optional<push::GivenHeaders> given;
  if (read) given = *read;
  const std::string apnsId = answerId(given);

  const std::string badPath = "path " + push::quotedValue(request.path) + " is not /3/device/TOKEN";
  if (request.method != "POST") {
    return refused(405, "MethodNotAllowed", apnsId,
                   "method " + push::quotedValue(request.method) + " is not POST");
  }
  if (!request.path.starts_with(kDevicePath)) return refused(404, "BadPath", apnsId, badPath);
  const std::string_view token = std::string_view(request.path).substr(kDevicePath.size());
  if (token.empty()) {
    return refused(400, "MissingDeviceToken", apnsId, "the path names no device token");
  }
  if (token.find('/') != std::string_view::npos) return refused(404, "BadPath", apnsId, badPath);

  const std::string* authorization = nullptr;
  for (const push::HeaderField& field : request.headers) {
    if (field.name != "authorization") continue;
    if (authorization != nullptr) {
      return refused(400, "DuplicateHeaders", apnsId, "authorization is given twice");
    }
    authorization = &field.value;
  }
  const auto now = clock_();
  const std::optional<DeviceRegistration> registration = registry_.find(lowercase(token));
  // With tokens and certificates both taken, a request without a token that came with a
  // certificate is checked by it; one with neither is answered MissingProviderToken.
  const ClientCertificate* certificate = request.certificate.get();
  const bool byCertificate =
      certificates_ && (!verifier_ || (authorization == nullptr && certificate != nullptr &&
                                       certificate->presented));
  if (byCertificate) {
    auto checked = checkClientCertificate(certificate);
    if (!checked) {
      return refused(checked.error().status, checked.error().reason, apnsId,
                     checked.error().message);
    }
  } else if (verifier_) {
    const std::int64_t nowSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    // Without a registration there is no team a token could speak for.
    auto verified =
        verifier_->verify(authorization, registration ? registration->teamId : "", nowSeconds);
    if (!verified) {
      return refused(verified.error().status, verified.error().reason, apnsId,
                     verified.error().message);
    }
  }
  if (!read) return refusalAnswer(read.error(), apnsId);
  if (byCertificate && given->topic && !certificateAllowsTopic(*certificate, *given->topic)) {
    return refused(400, "TopicDisallowed", apnsId,
                   "apns-topic " + push::quotedValue(*given->topic) +
                       " is not the client certificate's topic " + certificate->topics.front());
  }

  if (!isHexToken(token)) {
    return refused(400, "BadDeviceToken", apnsId,
                   "device token " + push::quotedValue(token) + " is not 64 hexadecimal digits");
  }
  if (!registration) {
    return refused(400, "BadDeviceToken", apnsId,
                   "no device token is registered (badge-app install gives one)");
  }
  if (lowercase(token) != registration->deviceToken) {
    return refused(400, "BadDeviceToken", apnsId,
                   "device token " + std::string(token) +
                       (registration->deviceToken.empty()
                            ? " is no device's"
                            : " is not the registered " + registration->deviceToken));
  }
  if (registration->retiredAtMs) {
    ProviderAnswer gone = errorAnswer(410, "Unregistered", apnsId, registration->retiredAtMs);
    gone.cause = "device token " + registration->deviceToken + " was retired (badge-app uninstall)";
    return gone;
  }

  if (byCertificate && !given->topic) {
    // The certificate names the app its pushes are for.
    given->topic = certificate->topics.front();
    if (*given->topic != bundleId_) {
      return refused(400, "DeviceTokenNotForTopic", apnsId,
                     "the client certificate's topic " + *given->topic +
                         " is not the app's bundle id " + bundleId_);
    }
  }
  push::PushDestination destination{bundleId_, verifier_ != nullptr, "DeviceTokenNotForTopic"};
  auto accepted = acceptRequest(*given, request.body, destination);
  if (!accepted) return refusalAnswer(accepted.error(), apnsId);
  accepted->headers.apnsId = apnsId;

  SinkAnswer sunk =
      sink_.submit(ProviderPush{registration->deviceToken, std::move(*accepted), now});
  switch (sunk.outcome) {
    case SinkAnswer::Outcome::kAccepted:
      return {200, apnsId, ""};
    case SinkAnswer::Outcome::kQueueFull:
      return refused(429, "TooManyRequests", apnsId,
                     "the queue of pushes taken and not yet shown is full (--provider-queue)");
    case SinkAnswer::Outcome::kStopping:
      return refused(503, "ServiceUnavailable", apnsId, "the service is stopping");
    case SinkAnswer::Outcome::kOverloaded:
      return refused(503, "ServiceUnavailable", apnsId,
                     "serve's standard output cannot keep up with the pushes");
    case SinkAnswer::Outcome::kRefused:
      break;
  }
  return sunk.refusal ? refusalAnswer(*sunk.refusal, apnsId)
                      : refused(500, "InternalServerError", apnsId, "the sink gave no reason");
}

}  // namespace quenlarch::notification_host::provider
