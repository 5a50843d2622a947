// The push rules: one table of every rule a push meets on its way in, each with the platform
// document and words it follows and what the host does when it does not hold: refuses (with the
// provider API's reason and status), warns (takes the push, its line carries "warnings"), sets a
// default, or routes. The platform refuses only where it documents a status and a reason; where it
// says a push may be delayed or dropped, or calls something an error without naming an answer, the
// host takes the push and warns. Rules checked where a request is read (push_headers.h) or at the
// provider endpoint are rows here too, without a check of their own, so the manual prints one
// table (`notification-host rules`).
#pragma once

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"
#include "platform/linux/json_text.h"
#include "platform/linux/push_content.h"
#include "tools/notification_host/push/push_headers.h"

namespace quenlarch::notification_host {

struct AcceptedPush {
  push::PushHeaders headers;
  std::shared_ptr<const PushContent> content;
  // Rules the push breaks where the platform takes it all the same, in plain words.
  std::vector<std::string> warnings = {};
};

// One push on its way through the rules. The intake (push_intake.h) fills in the text or what was
// already parsed; the rules fill in the rest.
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
  std::vector<std::string> warnings;
};

// Applies the table's checks in order: the first refusal ends the push; warnings are collected.
Expected<AcceptedPush, push::PushRefusal> applyPushRules(Draft& draft);

// One row of the table as the manual prints it.
struct PushRuleRow {
  std::string_view reason;  // the provider API's reason, or what the row is about
  unsigned status;          // of a refusal; 200 for the others
  std::string_view action;  // "refuses", "warns", "sets" or "routes"
  std::string_view answer;  // what the host does, in words
  std::string_view document;
  std::string_view quote;
};
std::vector<PushRuleRow> pushRuleRows();

}  // namespace quenlarch::notification_host
