// Extension sessions over the host protocol.
#include "bench/extension_session.h"

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <variant>

#include "platform/linux/host_protocol.h"
#include "platform/linux/plist_json.h"

namespace quenlarch::bench {

std::shared_ptr<const PushContent> contentFromPayload(const std::string& payloadJson) {
  const nlohmann::json payload = nlohmann::json::parse(payloadJson);
  std::optional<std::int64_t> badge;
  if (auto aps = payload.find("aps"); aps != payload.end() && aps->contains("badge")) {
    badge = (*aps)["badge"].get<std::int64_t>();
  }
  return std::make_shared<const PushContent>(plistFromJson(payload), badge, PlistValue());
}

ExtensionSession::ExtensionSession(const std::string& executable, const std::string& keychain)
    : process_(ChildProcess::spawn({{executable}, {{"QUENLARCH_KEYCHAIN", keychain}}, true})) {
  std::optional<std::string> line = process_->readLine();
  if (!line || !std::holds_alternative<host_protocol::Ready>(host_protocol::decode(*line))) {
    throw std::runtime_error(executable + " did not become ready");
  }
}

std::optional<std::int64_t> ExtensionSession::push(
    const std::shared_ptr<const PushContent>& content) {
  const std::string id = std::to_string(nextId_++);
  if (!process_->writeLine(host_protocol::encode(host_protocol::Request{id, content}))) {
    throw std::runtime_error("the extension stopped reading");
  }
  std::optional<std::string> line = process_->readLine();
  if (!line) throw std::runtime_error("the extension ended before answering request " + id);
  host_protocol::Message answer = host_protocol::decode(*line);
  const auto* deliver = std::get_if<host_protocol::Deliver>(&answer);
  if (deliver == nullptr || deliver->id != id) {
    throw std::runtime_error("unexpected answer to request " + id + ": " + *line);
  }
  return deliver->content->badge();
}

}  // namespace quenlarch::bench
