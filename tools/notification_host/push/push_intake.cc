// The intake: one parse, then the rules of kPushRules in order, each reading and filling a Draft.
// The push's type decides its size limit and is settled by the payload, so the rules take the
// given type for the size and the payload for the default; the content is built from the parsed
// value as soon as it is known to convert safely, and the rules after that read the content.
#include "tools/notification_host/push/push_intake.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "platform/linux/disk_bundle.h"
#include "platform/linux/host_protocol.h"
#include "platform/linux/json_text.h"
#include "platform/linux/plist_json.h"
#include "tools/notification_host/push/push_gate.h"

namespace quenlarch::notification_host {
namespace {

using push::PushRefusal;
using push::PushType;

// One push on its way through the rules.
struct Draft {
  Draft(const push::GivenHeaders& givenHeaders, const push::PushDestination& to,
        std::string_view payloadText = {})
      : given(givenHeaders), destination(to), text(payloadText), bytes(payloadText.size()) {}

  const push::GivenHeaders& given;
  const push::PushDestination& destination;
  std::string_view text;  // the payload's text while it is still to be parsed
  std::size_t bytes = 0;  // the payload's size as the limit counts it
  std::optional<Expected<nlohmann::json, JsonSyntaxError>> parsed;  // parsed here from `text`
  const JsonSyntaxError* notJson = nullptr;    // where a payload read elsewhere stops being JSON
  const nlohmann::json* payload = nullptr;     // once it is JSON
  std::shared_ptr<const PushContent> content;  // once it converts safely
  push::PushHeaders headers;
};

// A rule that does not hold: what to tell a person, and the reason when it is not the rule's own.
struct Broken {
  std::string message;
  std::string reason = {};
};
using Verdict = std::optional<Broken>;

struct PushRule {
  std::string_view reason;
  std::string_view header;  // the header at fault, if any
  unsigned status;
  Verdict (*apply)(Draft& draft);
};

std::optional<std::int64_t> badgeFromAps(const nlohmann::json& aps) {
  auto badge = aps.find("badge");
  if (badge == aps.end()) return std::nullopt;
  // nlohmann reads non-negative numbers as unsigned; one beyond int64 is no badge we can carry.
  if (badge->is_number_unsigned()) {
    std::uint64_t value = badge->get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
  }
  if (badge->is_number_integer()) return badge->get<std::int64_t>();
  return std::nullopt;
}

// Copies object[from] into fields[to]. A JSON null has no property-list form, so it counts as
// absent; with `stringsOnly`, so does anything but a string.
void copyField(const nlohmann::json& object, const char* from, PlistValue& fields, const char* to,
               bool stringsOnly = false) {
  auto it = object.find(from);
  if (it == object.end() || it->is_null() || (stringsOnly && !it->is_string())) return;
  fields.set(to, plistFromJson(*it));
}

PlistValue displayFieldsFromAps(const nlohmann::json& aps) {
  PlistValue fields;
  if (auto alert = aps.find("alert"); alert != aps.end()) {
    if (alert->is_string()) {
      fields.set("body", plistFromJson(*alert));
    } else if (alert->is_object()) {
      copyField(*alert, "title", fields, "title", true);
      copyField(*alert, "subtitle", fields, "subtitle", true);
      copyField(*alert, "body", fields, "body", true);
      // Localisation keys are resolved on the device later, so they travel as they came.
      copyField(*alert, "loc-key", fields, "locKey");
      copyField(*alert, "loc-args", fields, "locArgs");
      copyField(*alert, "title-loc-key", fields, "titleLocKey");
    }
  }
  // A sound may be a name or a dictionary (critical alerts); either is passed on.
  copyField(aps, "sound", fields, "sound");
  copyField(aps, "category", fields, "category");
  copyField(aps, "thread-id", fields, "threadIdentifier");
  return fields;
}

PushType sizedAs(const Draft& draft) { return draft.given.pushType.value_or(PushType::kAlert); }

const nlohmann::json& apsOf(const Draft& draft) { return *draft.payload->find("aps"); }

// The rules, in the order they are applied; the first that does not hold refuses the push.
constexpr std::array<PushRule, 10> kPushRules{{
    {"PayloadEmpty", "", 400,
     [](Draft& draft) -> Verdict {
       if (draft.bytes == 0) return Broken{"the push has no payload"};
       return std::nullopt;
     }},
    // Before the payload is parsed, so parsing never sees more than the limit.
    {"PayloadTooLarge", "", 413,
     [](Draft& draft) -> Verdict {
       const std::size_t limit = push::maxPayloadBytes(sizedAs(draft));
       if (draft.bytes <= limit) return std::nullopt;
       return Broken{"the payload has " + std::to_string(draft.bytes) + " bytes; a push of type " +
                     std::string(push::pushTypeName(sizedAs(draft))) + " may carry " +
                     std::to_string(limit)};
     }},
    {"BadPayload", "", 400,
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
    {"BadPayload", "", 400,
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
    {"BadPayload", "", 400,
     [](Draft& draft) -> Verdict {
       constexpr std::size_t kMaxDepth = host_protocol::kMaxContentNestingDepth - 1;
       if (host_protocol::nestsDeeperThan(*draft.payload, kMaxDepth)) {
         return Broken{"the payload nests deeper than " + std::to_string(kMaxDepth) + " levels"};
       }
       const nlohmann::json& aps = apsOf(draft);
       draft.content = std::make_shared<const PushContent>(
           plistFromJson(*draft.payload), badgeFromAps(aps), displayFieldsFromAps(aps));
       return std::nullopt;
     }},
    // What shows a person something is the push gate's to say (push_gate.h), for the type here
    // as for the shown line's "presented".
    {"InvalidPushType", "apns-push-type", 400,
     [](Draft& draft) -> Verdict {
       const PlistValue& userInfo = draft.content->userInfo();
       draft.headers.pushType = draft.given.pushType.value_or(
           presentsAnything(userInfo) ? PushType::kAlert : PushType::kBackground);
       if (draft.headers.pushType == PushType::kBackground && showsAlert(*userInfo.find("aps"))) {
         return Broken{"a background push may not show an alert"};
       }
       return std::nullopt;
     }},
    {"InvalidPushType", "apns-push-type", 400,
     [](Draft& draft) -> Verdict {
       if (draft.headers.pushType != PushType::kAlert) return std::nullopt;
       if (presentsAnything(draft.content->userInfo())) return std::nullopt;
       return Broken{"an alert push must show an alert, play a sound or set a badge"};
     }},
    {"MissingTopic", "apns-topic", 400,
     [](Draft& draft) -> Verdict {
       draft.headers.topic = draft.given.topic;
       if (draft.headers.topic || !draft.destination.topicRequired) return std::nullopt;
       return Broken{"apns-topic is required"};
     }},
    // A topic of this app for another push type is told apart from another app's topic.
    {"BadTopic", "apns-topic", 400,
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
       return Broken{"apns-topic " + push::quotedValue(topic) + " is not this app's " +
                         push::quotedValue(expected),
                     draft.destination.otherAppReason};
     }},
    // Nothing left to refuse: the defaults.
    {"", "", 400,
     [](Draft& draft) -> Verdict {
       const push::GivenHeaders& given = draft.given;
       draft.headers.priority =
           given.priority.value_or(draft.headers.pushType == PushType::kBackground ? 5u : 10u);
       draft.headers.expiration = given.expiration;
       draft.headers.collapseId = given.collapseId;
       draft.headers.apnsId = given.apnsId ? *given.apnsId : push::newApnsId();
       return std::nullopt;
     }},
}};

Expected<AcceptedPush, PushRefusal> applyRules(Draft& draft) {
  for (const PushRule& rule : kPushRules) {
    if (Verdict broken = rule.apply(draft)) {
      return unexpected(
          PushRefusal{broken->reason.empty() ? std::string(rule.reason) : std::move(broken->reason),
                      std::string(rule.header), std::move(broken->message), rule.status});
    }
  }
  return AcceptedPush{std::move(draft.headers), std::move(draft.content)};
}

bool isEnvelope(const nlohmann::json& json) {
  return json.is_object() && !json.contains("aps") &&
         (json.contains("headers") || json.contains("payload"));
}

PushRefusal badEnvelope(std::string message, std::string reason = "BadPayload") {
  return PushRefusal{std::move(reason), "", std::move(message), 400};
}

Expected<AcceptedPush, PushRefusal> acceptEnvelope(const nlohmann::json& envelope,
                                                   const push::PushDestination& destination) {
  push::GivenHeaders given;
  for (const auto& [key, value] : envelope.items()) {
    if (key == "headers") {
      auto headers = push::readHeaderObject(value);
      if (!headers) return unexpected(headers.error());
      given = std::move(*headers);
    } else if (key != "payload") {
      const std::string name =
          nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return unexpected(
          badEnvelope("the envelope has " + name + "; it takes only \"headers\" and \"payload\""));
    }
  }
  auto payload = envelope.find("payload");
  if (payload == envelope.end() || payload->is_null()) {
    return unexpected(badEnvelope("the envelope has no \"payload\"", "PayloadEmpty"));
  }
  if (!payload->is_object()) {
    return unexpected(badEnvelope("the envelope's \"payload\" is not an object"));
  }
  Draft draft(given, destination);
  draft.payload = &*payload;
  // Measured, not read again: the size a provider's body would have.
  draft.bytes = payload->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size();
  return applyRules(draft);
}

}  // namespace

std::string_view withoutTrailingWhitespace(std::string_view bytes) {
  const std::size_t end = bytes.find_last_not_of(" \t\r\n");
  return bytes.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

std::string tooLargeReason(std::size_t maxBytes) {
  return "larger than the " + std::to_string(maxBytes) + " bytes a push payload may have";
}

Expected<AcceptedPush, PushRefusal> acceptPush(std::string_view text,
                                               const push::PushDestination& destination) {
  const push::GivenHeaders none;
  Draft draft(none, destination, withoutTrailingWhitespace(text));
  // Text longer than any envelope is refused for its size without being read.
  if (draft.bytes <= kMaxPushTextBytes) {
    draft.parsed = parseJson(draft.text);
    if (*draft.parsed && isEnvelope(**draft.parsed)) {
      return acceptEnvelope(**draft.parsed, destination);
    }
  }
  return applyRules(draft);
}

Expected<AcceptedPush, PushRefusal> acceptPush(
    const Expected<nlohmann::json, JsonSyntaxError>& read, std::size_t bytes,
    const push::PushDestination& destination) {
  if (read && isEnvelope(*read)) return acceptEnvelope(*read, destination);
  const push::GivenHeaders none;
  Draft draft(none, destination);
  draft.bytes = bytes;
  if (read) {
    draft.payload = &*read;
  } else {
    draft.notJson = &read.error();
  }
  return applyRules(draft);
}

Expected<AcceptedPush, PushRefusal> acceptRequest(const push::GivenHeaders& given,
                                                  std::string_view body,
                                                  const push::PushDestination& destination) {
  Draft draft(given, destination, withoutTrailingWhitespace(body));
  return applyRules(draft);
}

std::string bundleIdentifier(const std::string& appPath) {
  std::unique_ptr<DiskBundle> bundle = DiskBundle::open(appPath);
  if (!bundle) return "";
  std::optional<PlistValue> value = bundle->objectForInfoDictionaryKey("CFBundleIdentifier");
  if (!value || !value->isString()) return "";
  return *value->asString();
}

std::string refusalText(const PushRefusal& refusal) {
  std::string text = refusal.header.empty() ? "" : refusal.header + ": ";
  return text + refusal.reason + " (" + refusal.message + ")";
}

}  // namespace quenlarch::notification_host
