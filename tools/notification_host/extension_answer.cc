// Reading the extension's lines: which answer a line is, and a note for every line that is none.
#include "tools/notification_host/extension_answer.h"

#include <nlohmann/json.hpp>
#include <variant>

#include "platform/linux/host_protocol.h"
#include "tools/notification_host/diagnostics.h"

namespace quenlarch::notification_host {
namespace {

namespace protocol = host_protocol;

// decode() answers both the extension's own error messages and lines it cannot make sense of with
// an Error; the note says which one it was.
void noteUndecodable(std::string_view line, const protocol::Error& error) {
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;  // blank: nothing said
  nlohmann::json json = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  auto type = json.is_object() ? json.find("type") : json.end();
  if (type != json.end() && *type == "error") {
    note("the extension reports an error: " + error.message);
  } else {
    note("ignoring a line from the extension that is no message (" + error.message + ")");
  }
}

}  // namespace

std::optional<Shown> answerFor(std::string_view line, const std::string& id,
                               const std::shared_ptr<const PushContent>& received) {
  protocol::Message message = protocol::decode(line);
  if (const auto* deliver = std::get_if<protocol::Deliver>(&message)) {
    if (deliver->id == id) return Shown{deliver->content, true};
    note("ignoring the extension's deliver for request " + deliver->id + " while waiting for " +
         id);
  } else if (const auto* released = std::get_if<protocol::Released>(&message)) {
    if (released->id == id) return Shown{received, false};
    note("ignoring the extension's release of request " + released->id + " while waiting for " +
         id);
  } else if (const auto* error = std::get_if<protocol::Error>(&message)) {
    noteUndecodable(line, *error);
  } else if (!std::holds_alternative<protocol::Ready>(message)) {
    note("ignoring a message an extension does not send");
  }
  return std::nullopt;
}

}  // namespace quenlarch::notification_host
