// The request headers of a push, with the provider API's names, reasons and statuses: the one
// place that reads apns-push-type, apns-priority, apns-expiration, apns-collapse-id, apns-id and
// apns-topic. The provider endpoint reads them from an HTTP/2 request's header list; the intake
// (push_intake.h) from an envelope's "headers" object. Each header is read on its own here (syntax,
// duplicates); the rules that weigh them against the payload, and the defaults, are the intake's.
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

// The push service refuses payloads larger than this many bytes, not counting JSON whitespace at
// their end; voip pushes may carry kMaxVoipPayloadBytes, the most any push may.
inline constexpr std::size_t kMaxPayloadBytes = 4096;
inline constexpr std::size_t kMaxVoipPayloadBytes = 5120;

// The largest payload a push of `type` may carry.
std::size_t maxPayloadBytes(PushType type);
// What the app's bundle identifier is followed by in the topic of a push of `type` ("",
// ".voip", ...).
std::string_view topicSuffix(PushType type);
// Who receives a push of `type` on a device instead of the notification service extension:
// "pushkit" (voip, pushtotalk), "activitykit", "widgetkit" (widgets, controls), "location",
// "fileprovider", "complication", "mdm", or "app" for background, whose payload the app itself
// gets. None for alert, the one type that can reach the extension. Such a push runs no extension,
// counts nothing and shows no alert.
std::optional<std::string_view> handledBy(PushType type);
// `value` quoted for a one-line message: JSON escapes keep it on one line, and a long one is cut.
std::string quotedValue(std::string_view value);

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

// The headers a push came with, each valid on its own; absent ones get defaults in the intake.
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

// A random (version 4) UUID from the system's random source, in lower case as canonical UUIDs are
// written: "8d3c1a6e-58b2-4f43-9e3c-2d57a1b0c4f9".
std::string newApnsId();

}  // namespace quenlarch::notification_host::push
