// Headers first, because the payload's size limit depends on its push type; then the content,
// whose own checks (nesting depth, a NUL byte) the header rules do not make.
#include "tools/notification_host/push/accepted_push.h"

#include <variant>

#include "platform/linux/disk_bundle.h"
#include "tools/notification_host/push/payload.h"
#include "tools/notification_host/push/push_envelope.h"

namespace quenlarch::notification_host {

std::string bundleIdentifier(const std::string& appPath) {
  std::unique_ptr<DiskBundle> bundle = DiskBundle::open(appPath);
  if (!bundle) return "";
  std::optional<PlistValue> value = bundle->objectForInfoDictionaryKey("CFBundleIdentifier");
  if (!value || !value->isString()) return "";
  return *value->asString();
}

Expected<AcceptedPush, push::PushRefusal> acceptPush(std::string_view text,
                                                     const std::string& bundleId, bool checkTopic) {
  // The parser takes a NUL byte for the end of its input: an envelope followed by one and junk
  // would pass, and its re-encoded payload would no longer show the junk.
  if (text.find('\0') != std::string_view::npos) {
    return unexpected(push::PushRefusal{"BadPayload", "", "not valid JSON", 400});
  }
  auto envelope = push::readEnvelope(text);
  if (!envelope) return unexpected(envelope.error());
  push::GivenHeaders given = envelope->headers;
  std::optional<std::string> topic = given.topic;
  if (!checkTopic) given.topic.reset();
  auto headers = push::resolvePush(given, envelope->payload, {bundleId, false, "BadTopic"});
  if (!headers) return unexpected(headers.error());
  if (!checkTopic) headers->topic = topic;
  auto built = contentFromPayload(envelope->payload, push::maxPayloadBytes(headers->pushType));
  if (const auto* refusal = std::get_if<Refusal>(&built)) {
    return unexpected(push::PushRefusal{"BadPayload", "", refusal->reason, 400});
  }
  return AcceptedPush{std::move(*headers),
                      std::get<std::shared_ptr<const PushContent>>(std::move(built))};
}

std::string refusalText(const push::PushRefusal& refusal) {
  std::string text = refusal.header.empty() ? "" : refusal.header + ": ";
  return text + refusal.reason + " (" + refusal.message + ")";
}

}  // namespace quenlarch::notification_host
