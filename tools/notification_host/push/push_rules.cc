// The rule table. Rows with a check are applied in order to a Draft; the content is built from
// the parsed value as soon as it is known to convert safely, and the rows after that read it.
#include "tools/notification_host/push/push_rules.h"

#include <array>
#include <cstdint>

#include "platform/linux/host_protocol.h"
#include "platform/linux/plist_json.h"
#include "tools/notification_host/push/aps_fields.h"
#include "tools/notification_host/push/push_gate.h"

namespace quenlarch::notification_host {
namespace {

using push::PushType;

// A rule that does not hold: what to tell a person, and the reason when it is not the rule's own.
struct Broken {
  std::string message;
  std::string reason = {};
};
using Verdict = std::optional<Broken>;

enum class Action { kRefuses, kWarns, kSets, kRoutes };

struct PushRule {
  std::string_view reason;
  std::string_view header;  // the header at fault, if any
  unsigned status;
  Action action;
  std::string_view answer;    // what the host does, for the manual
  std::string_view document;  // where the platform says so; empty: the host's own rule
  std::string_view quote;
  // Null for a rule checked elsewhere: where the request is read (push_headers.h), at the provider
  // endpoint (provider_endpoint.h), or as the push arrives (the handler of its type).
  Verdict (*check)(Draft& draft) = nullptr;
};

constexpr std::string_view kSending = "Sending notification requests to APNs";
constexpr std::string_view kResponses = "Handling notification responses from APNs";
constexpr std::string_view kMismatch =
    "may return an error, delay the delivery of the notification, or drop it altogether";

PushType sizedAs(const Draft& draft) { return draft.given.pushType.value_or(PushType::kAlert); }

const nlohmann::json& apsOf(const Draft& draft) { return *draft.payload->find("aps"); }

// Every rule, in the order the checks are applied.
constexpr std::array<PushRule, 41> kPushRules{{
    // Read with the request, before its payload (push_headers.h, provider_endpoint.h).
    {"MethodNotAllowed", "", 405, Action::kRefuses, "a request that is not POST", kResponses,
     "The specified :method value isn't POST."},
    {"BadPath", "", 404, Action::kRefuses, "a path that is not /3/device/TOKEN", kResponses,
     "The request contained an invalid :path value."},
    {"MissingDeviceToken", "", 400, Action::kRefuses, "/3/device/ without a token", kResponses,
     "The device token isn't specified in the request :path."},
    {"DuplicateHeaders", "", 400, Action::kRefuses, "a header the rules read, given twice",
     kResponses, "One or more headers are repeated."},
    {"MissingProviderToken", "authorization", 403, Action::kRefuses,
     "no bearer token, and no client certificate where --provider-ca takes one (unless "
     "--provider-auth none)",
     kResponses,
     "No provider certificate was used to connect to APNs, and the authorization header is "
     "missing or no provider token is specified."},
    {"InvalidProviderToken", "authorization", 403, Action::kRefuses,
     "a token whose key id is unknown, whose signature does not verify, or whose team is not the "
     "app's",
     kResponses, "The provider token is not valid, or the token signature can't be verified."},
    {"ExpiredProviderToken", "authorization", 403, Action::kRefuses,
     "a token issued more than an hour ago", kResponses,
     "The provider token is stale and a new token should be generated."},
    {"TooManyProviderTokenUpdates", "authorization", 429, Action::kRefuses,
     "a new token (a newer iat) for the same team and key within 20 minutes of the last one "
     "taken; kept in memory per team and key id",
     kResponses,
     "The provider's authentication token is being updated too often. Update the authentication "
     "token no more than once every 20 minutes."},
    {"BadCertificate", "", 403, Action::kRefuses,
     "with --provider-ca: a client certificate that did not verify against it or names no topic, "
     "or none where certificates are the only way in",
     kResponses, "The certificate is invalid."},
    {"BadCertificateEnvironment", "", 403, Action::kRefuses,
     "a client certificate marked for production only (the endpoint is the development "
     "environment)",
     kResponses, "The client certificate is for the wrong environment."},
    {"TopicDisallowed", "apns-topic", 400, Action::kRefuses,
     "by client certificate: an apns-topic that is not the certificate's topic", kResponses,
     "Pushing to this topic is not allowed."},
    {"BadMessageId", "apns-id", 400, Action::kRefuses, "not a UUID", kResponses,
     "The apns-id value is invalid."},
    {"InvalidPushType", "apns-push-type", 400, Action::kRefuses, "not a published push type",
     kResponses, "The apns-push-type value is invalid."},
    {"BadPriority", "apns-priority", 400, Action::kRefuses, "not 10, 5 or 1", kResponses,
     "The apns-priority value is invalid."},
    {"BadExpirationDate", "apns-expiration", 400, Action::kRefuses, "not whole seconds since 1970",
     kResponses, "The apns-expiration value is invalid."},
    {"BadCollapseId", "apns-collapse-id", 400, Action::kRefuses, "empty or over 64 bytes",
     kResponses, "The collapse identifier exceeds the maximum allowed size."},
    {"BadTopic", "apns-topic", 400, Action::kRefuses, "not a bundle identifier", kResponses,
     "The apns-topic value is invalid."},
    {"BadDeviceToken", "", 400, Action::kRefuses,
     "not 64 hexadecimal digits, or not the registered device's token", kResponses,
     "The specified device token is invalid. Verify that the request contains a valid token and "
     "that the token matches the environment."},
    {"Unregistered", "", 410, Action::kRefuses, "the token was retired (badge-app uninstall)",
     kResponses, "The device token is inactive for the specified topic."},
    // The payload.
    {"PayloadEmpty", "", 400, Action::kRefuses, "no payload", kResponses,
     "The message payload is empty.",
     [](Draft& draft) -> Verdict {
       if (draft.bytes == 0) return Broken{"the push has no payload"};
       return std::nullopt;
     }},
    // Before the payload is parsed, so parsing never sees more than the limit.
    {"PayloadTooLarge", "", 413, Action::kRefuses,
     "over 4096 bytes (5120 for voip), trailing whitespace not counted", kResponses,
     "The message payload is too large.",
     [](Draft& draft) -> Verdict {
       const std::size_t limit = push::maxPayloadBytes(sizedAs(draft));
       if (draft.bytes <= limit) return std::nullopt;
       return Broken{"the payload has " + std::to_string(draft.bytes) + " bytes; a push of type " +
                     std::string(push::pushTypeName(sizedAs(draft))) + " may carry " +
                     std::to_string(limit)};
     }},
    {"BadPayload", "", 400, Action::kRefuses,
     "not JSON (the host's own reason: no app could read it)", "", "",
     [](Draft& draft) -> Verdict {
       if (draft.payload != nullptr) return std::nullopt;
       if (draft.notJson == nullptr) {
         if (!draft.parsed) draft.parsed = parseJson(draft.text);
         if (*draft.parsed) {
           draft.payload = &**draft.parsed;
           return std::nullopt;
         }
         draft.notJson = &draft.parsed->error();
       }
       return Broken{"the payload is not JSON (" + draft.notJson->text() + ")"};
     }},
    {"BadPayload", "", 400, Action::kRefuses, "not an object with an \"aps\" object", "", "",
     [](Draft& draft) -> Verdict {
       if (!draft.payload->is_object()) return Broken{"the payload is not a JSON object"};
       auto aps = draft.payload->find("aps");
       if (aps == draft.payload->end() || !aps->is_object()) {
         return Broken{"the payload has no \"aps\" object"};
       }
       return std::nullopt;
     }},
    // The payload travels to the extension as the content's userInfo, one level down, and is
    // converted one stack frame per level.
    {"BadPayload", "", 400, Action::kRefuses, "nested deeper than the extension can take", "", "",
     [](Draft& draft) -> Verdict {
       constexpr std::size_t kMaxDepth = host_protocol::kMaxContentNestingDepth - 1;
       if (host_protocol::nestsDeeperThan(*draft.payload, kMaxDepth)) {
         return Broken{"the payload nests deeper than " + std::to_string(kMaxDepth) + " levels"};
       }
       const nlohmann::json& aps = apsOf(draft);
       draft.content = std::make_shared<const PushContent>(
           plistFromJson(*draft.payload), push::badgeFromAps(aps), push::displayFieldsFromAps(aps));
       return std::nullopt;
     }},
    // What shows a person something is the push gate's to say (push_gate.h), for the type here
    // as for the shown line's "presented".
    {"apns-push-type", "apns-push-type", 200, Action::kSets,
     "omitted: alert when the push shows an alert, a sound or a badge, else background", "", "",
     [](Draft& draft) -> Verdict {
       draft.headers.pushType = draft.given.pushType.value_or(
           presentsAnything(draft.content->userInfo()) ? PushType::kAlert : PushType::kBackground);
       return std::nullopt;
     }},
    {"background with an alert", "apns-push-type", 200, Action::kWarns,
     "taken; a device shows no alert for it", kSending, kMismatch,
     [](Draft& draft) -> Verdict {
       if (draft.headers.pushType != PushType::kBackground) return std::nullopt;
       if (!showsAlert(*draft.content->userInfo().find("aps"))) return std::nullopt;
       return Broken{
           "a background push carries an alert, which a device does not show; the "
           "service may delay or drop a push whose type does not match its payload"};
     }},
    {"alert that shows nothing", "apns-push-type", 200, Action::kWarns, "taken; nothing is shown",
     kSending, kMismatch,
     [](Draft& draft) -> Verdict {
       if (draft.headers.pushType != PushType::kAlert) return std::nullopt;
       if (presentsAnything(draft.content->userInfo())) return std::nullopt;
       return Broken{
           "an alert push with no alert, badge or sound shows nothing; the service may "
           "delay or drop a push whose type does not match its payload"};
     }},
    {"handledBy", "apns-push-type", 200, Action::kRoutes,
     "every type but alert goes to its handler: not run, not counted, not shown", "PushKit",
     "Instead of displaying an alert, badging your app's icon, or playing a sound, PushKit "
     "notifications wake up or launch your app"},
    {"MissingTopic", "apns-topic", 400, Action::kRefuses,
     "no topic at the provider endpoint with token authentication", kResponses,
     "The apns-topic header of the request isn't specified and is required.",
     [](Draft& draft) -> Verdict {
       draft.headers.topic = draft.given.topic;
       if (draft.headers.topic || !draft.destination.topicRequired) return std::nullopt;
       return Broken{"apns-topic is required"};
     }},
    // A topic of this app for another push type is told apart from another app's topic.
    {"BadTopic", "apns-topic", 400, Action::kRefuses,
     "another app's topic where no device token is named (deliver, send)", kResponses,
     "The apns-topic value is invalid.",
     [](Draft& draft) -> Verdict {
       if (!draft.headers.topic) return std::nullopt;
       const std::string& topic = *draft.headers.topic;
       const std::string& app = draft.destination.bundleId;
       const std::string expected = app + std::string(push::topicSuffix(draft.headers.pushType));
       if (topic == expected) return std::nullopt;
       for (std::size_t i = 0; i <= static_cast<std::size_t>(PushType::kWidgets); ++i) {
         if (topic != app + std::string(push::topicSuffix(static_cast<PushType>(i)))) continue;
         return Broken{"apns-topic " + push::quotedValue(topic) + " does not take " +
                           std::string(push::pushTypeName(draft.headers.pushType)) +
                           " pushes; use " + push::quotedValue(expected),
                       "TopicDisallowed"};
       }
       const std::string_view suffix = push::topicSuffix(draft.headers.pushType);
       return Broken{
           "topic " + push::quotedValue(topic) + " is not the app's bundle id " +
               push::quotedValue(app) +
               (suffix.empty()
                    ? ""
                    : " with " + std::string(suffix) + " for " +
                          std::string(push::pushTypeName(draft.headers.pushType)) + " pushes"),
           draft.destination.otherAppReason};
     }},
    {"TopicDisallowed", "apns-topic", 400, Action::kRefuses,
     "the app's topic for another push type (.voip for an alert, ...)", kResponses,
     "Pushing to this topic is not allowed."},
    {"DeviceTokenNotForTopic", "apns-topic", 400, Action::kRefuses,
     "another app's topic at the provider endpoint", kResponses,
     "The device token doesn't match the specified topic."},
    {"apns-priority", "apns-priority", 200, Action::kSets, "omitted: 10, for every push type",
     kSending, "If you omit this header, APNs sets the notification priority to 10",
     [](Draft& draft) -> Verdict {
       draft.headers.priority = draft.given.priority.value_or(10u);
       return std::nullopt;
     }},
    {"background at priority 10", "apns-priority", 200, Action::kWarns, "taken, at priority 10",
     kSending, "background ... Always use priority 5. Using priority 10 is an error",
     [](Draft& draft) -> Verdict {
       if (draft.headers.pushType != PushType::kBackground || draft.headers.priority != 10) {
         return std::nullopt;
       }
       return Broken{std::string("a background push at priority 10") +
                     (draft.given.priority ? "" : " (the default when apns-priority is omitted)") +
                     " is an error to the platform; give apns-priority 5"};
     }},
    {"apns-id", "apns-id", 200, Action::kSets,
     "omitted: a new random UUID, in lower case, answered in apns-id", "", "",
     [](Draft& draft) -> Verdict {
       draft.headers.expiration = draft.given.expiration;
       draft.headers.collapseId = draft.given.collapseId;
       draft.headers.apnsId = draft.given.apnsId ? *draft.given.apnsId : push::newApnsId();
       return std::nullopt;
     }},
    // Answers of the provider endpoint once the push is taken.
    {"TooManyRequests", "", 429, Action::kRefuses,
     "more provider pushes taken and not yet shown than --provider-queue", kResponses,
     "Too many requests were made consecutively to the same device token."},
    {"ServiceUnavailable", "", 503, Action::kRefuses, "the service is stopping", kResponses,
     "The service is unavailable."},
    // The device: connected, or away (`device offline`) with the service's store-and-forward.
    {"delivered at least once", "apns-expiration", 200, Action::kSets,
     "a connected device gets every push, whatever its expiration date", kSending,
     "If the value is nonzero, APNs stores the notification and tries to deliver it at least once, "
     "repeating the attempt as needed until the specified date."},
    {"expiration 0 while away", "apns-expiration", 200, Action::kSets,
     "not stored: dropped at once, its line says \"dropped\"", kSending,
     "If the value is 0, APNs attempts to deliver the notification only once and doesn't store "
     "it."},
    {"one stored per app", "", 200, Action::kSets,
     "while the device is away the newest push is kept and delivered when it comes back; the one "
     "kept before is dropped",
     kSending,
     "APNs stores only one notification per bundle ID. When you send multiple notifications to the "
     "same device for a bundle ID, APNs selects only one notification to store. In most cases, the "
     "latest notification is stored."},
    {"stored until expiration", "apns-expiration", 200, Action::kSets,
     "a kept push whose expiration passes, or that was kept 30 days, is dropped", kSending,
     "If APNs can't deliver a notification immediately, it may store the notification for 30 days "
     "or less, depending on the date you specify in the apns-expiration header."},
}};

std::string_view actionText(Action action) {
  switch (action) {
    case Action::kRefuses:
      return "refuses";
    case Action::kWarns:
      return "warns";
    case Action::kSets:
      return "sets";
    case Action::kRoutes:
      return "routes";
  }
  return "refuses";
}

}  // namespace

Expected<AcceptedPush, push::PushRefusal> applyPushRules(Draft& draft) {
  for (const PushRule& rule : kPushRules) {
    if (rule.check == nullptr) continue;
    Verdict broken = rule.check(draft);
    if (!broken) continue;
    if (rule.action == Action::kWarns) {
      draft.warnings.push_back(std::move(broken->message));
      continue;
    }
    return unexpected(push::PushRefusal{
        broken->reason.empty() ? std::string(rule.reason) : std::move(broken->reason),
        std::string(rule.header), std::move(broken->message), rule.status});
  }
  return AcceptedPush{std::move(draft.headers), std::move(draft.content),
                      std::move(draft.warnings)};
}

std::vector<PushRuleRow> pushRuleRows() {
  std::vector<PushRuleRow> rows;
  for (const PushRule& rule : kPushRules) {
    rows.push_back({rule.reason, rule.status, actionText(rule.action), rule.answer, rule.document,
                    rule.quote});
  }
  return rows;
}

}  // namespace quenlarch::notification_host
