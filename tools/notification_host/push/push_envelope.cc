// Envelope or bare payload: told apart by the "aps" member every runnable payload has.
#include "tools/notification_host/push/push_envelope.h"

#include <nlohmann/json.hpp>

namespace quenlarch::notification_host::push {

Expected<PushEnvelope, PushRefusal> readEnvelope(std::string_view text) {
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded() || !json.is_object() || json.contains("aps") ||
      !(json.contains("headers") || json.contains("payload"))) {
    return PushEnvelope{{}, std::string(text)};
  }
  PushEnvelope envelope;
  for (const auto& [key, value] : json.items()) {
    if (key == "headers") {
      auto headers = readHeaderObject(value);
      if (!headers) return unexpected(headers.error());
      envelope.headers = std::move(*headers);
    } else if (key != "payload") {
      const std::string name =
          nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return unexpected(PushRefusal{
          "BadPayload", "",
          "the envelope has " + name + "; it takes only \"headers\" and \"payload\"", 400});
    }
  }
  auto payload = json.find("payload");
  if (payload == json.end() || payload->is_null()) {
    return unexpected(PushRefusal{"PayloadEmpty", "", "the envelope has no \"payload\"", 400});
  }
  if (!payload->is_object()) {
    return unexpected(
        PushRefusal{"BadPayload", "", "the envelope's \"payload\" is not an object", 400});
  }
  envelope.payload = payload->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return envelope;
}

}  // namespace quenlarch::notification_host::push
