// The request headers of a push and the payload rules that depend on them, with the provider
// API's names, reasons and statuses: the one place that reads apns-push-type, apns-priority,
// apns-expiration, apns-collapse-id, apns-id and apns-topic. The provider endpoint reads them from
// an HTTP/2 request's header list; the envelope reader (push_envelope.h) from the "headers" object
// of a payload file, of deliver's and send's input and of the service's client protocol.
//
// Two steps, because the defaults depend on the payload:
//   readHeaderFields / readHeaderObject   each given header on its own (syntax, duplicates)
//   resolvePush                           the payload against the headers (empty, size per push
//                                         type, alert against push type, topic), then defaults
// Headers the rules do not name (authorization, content-type, user-agent, ...) are ignored, as
// the provider API ignores them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host::push {

// The published push types, in the order the provider API lists them.
enum class PushType {
  kAlert,
  kBackground,
  kControls,
  kLocation,
  kVoip,
  kComplication,
  kFileProvider,
  kMdm,
  kLiveActivity,
  kPushToTalk,
  kWidgets,
};

// The header value for `type` ("alert", "background", "voip", ...).
std::string_view pushTypeName(PushType type);
// None for a name that is not on the published list (names are lowercase, as the API spells them).
std::optional<PushType> pushTypeFromName(std::string_view name);

// The largest payload a push of `type` may carry, not counting JSON whitespace at its end.
std::size_t maxPayloadBytes(PushType type);

// A push's headers once accepted: every field the host acts on has its value.
struct PushHeaders {
  std::string apnsId;  // the request's, or a fresh UUID
  PushType pushType = PushType::kAlert;
  unsigned priority = 10;                  // 10, 5 or 1
  std::optional<std::int64_t> expiration;  // epoch seconds; 0 means deliver now or never
  std::optional<std::string> collapseId;   // 1 to 64 bytes
  std::optional<std::string> topic;
};

// Why a push is refused: the provider API's reason name, the header at fault (empty when the
// payload or the request as a whole is), one line for a person, and the HTTP status the provider
// API answers with.
struct PushRefusal {
  std::string reason;
  std::string header;
  std::string message;
  unsigned status = 400;
};

struct HeaderField {
  std::string name;
  std::string value;
};

// The headers a push came with, each valid on its own; absent ones get defaults in resolvePush.
struct GivenHeaders {
  std::optional<std::string> apnsId;
  std::optional<PushType> pushType;
  std::optional<unsigned> priority;
  std::optional<std::int64_t> expiration;
  std::optional<std::string> collapseId;
  std::optional<std::string> topic;
};

// The headers named above from an HTTP/2 header list (names lowercase, as HTTP/2 sends them).
// Refused: a header given twice (DuplicateHeaders), or a value that breaks its header's rule
// (BadMessageId, InvalidPushType, BadPriority, BadExpirationDate, BadCollapseId, BadTopic).
Expected<GivenHeaders, PushRefusal> readHeaderFields(std::span<const HeaderField> fields);

// The same from an envelope's "headers" object. Names are matched without regard to case, values
// are strings, or numbers for apns-priority and apns-expiration; any other value breaks its
// header's rule. Refused also when `headers` is not an object.
Expected<GivenHeaders, PushRefusal> readHeaderObject(const nlohmann::json& headers);

// Where a push is going: what its topic must name and how a wrong one is refused.
struct PushDestination {
  std::string bundleId;  // the app's CFBundleIdentifier
  // The provider endpoint with token authentication requires a topic (MissingTopic).
  bool topicRequired = false;
  // A topic of another app: "DeviceTokenNotForTopic" where the push names a device token,
  // "BadTopic" where it does not.
  std::string otherAppReason = "BadTopic";
};

// The push's headers with their defaults filled in, or why `payload` (the raw payload bytes) is
// refused with them:
//   PayloadEmpty       no payload at all (nothing but whitespace)
//   PayloadTooLarge    over maxPayloadBytes for the push type (status 413)
//   BadPayload         not a JSON object with an "aps" object, so there is nothing to run
//   InvalidPushType    a background push carrying an alert, or an alert push carrying none of an
//                      alert, a badge or a sound
//   MissingTopic, TopicDisallowed, DeviceTokenNotForTopic or BadTopic   see PushDestination
// Defaults: the push type is alert when "aps" carries an alert, a badge or a sound, and background
// otherwise; the priority is 10, or 5 for a background push; apnsId is a new random UUID.
Expected<PushHeaders, PushRefusal> resolvePush(const GivenHeaders& given, std::string_view payload,
                                               const PushDestination& destination);

// True when the push's expiry has passed at `nowEpochSeconds`: such a push is dropped, neither run
// nor shown. An expiration of 0 ("now or never") never passes for a push handled on arrival.
bool hasExpired(const PushHeaders& headers, std::int64_t nowEpochSeconds);

// A random (version 4) UUID from the system's random source, in upper case as the provider API
// returns its own ids: "8D3C1A6E-58B2-4F43-9E3C-2D57A1B0C4F9".
std::string newApnsId();

}  // namespace quenlarch::notification_host::push
