// The intake: one parse, then the rule table (push_rules.h) in order, each rule reading and filling
// a Draft. The push's type decides its size limit and is settled by the payload, so the rules take
// the given type for the size and the payload for the default.
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

namespace quenlarch::notification_host {
namespace {

using push::PushRefusal;

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
  return applyPushRules(draft);
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
  return applyPushRules(draft);
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
  return applyPushRules(draft);
}

Expected<AcceptedPush, PushRefusal> acceptRequest(const push::GivenHeaders& given,
                                                  std::string_view body,
                                                  const push::PushDestination& destination) {
  Draft draft(given, destination, withoutTrailingWhitespace(body));
  return applyPushRules(draft);
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
