// The shown line: host keys first, then the extension's displayed fields.
#include "tools/notification_host/shown_line.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "platform/linux/plist_json.h"
#include "tools/common/command_line.h"
#include "tools/notification_host/rendering/alert_rendering.h"

namespace quenlarch::notification_host {

std::optional<std::string> badgeNote(const Shown& shown) {
  if (shown.log.empty()) return std::nullopt;
  const host_protocol::LogEntry& last = shown.log.back();
  return last.detail ? last.badgeNote + ": " + *last.detail : last.badgeNote;
}

nlohmann::ordered_json shownLine(const std::string& payloadName, const Shown& shown,
                                 const PushFacts& facts, const RenderedAlert& alert) {
  const PushContent& content = *shown.content;
  nlohmann::ordered_json line;
  line["payload"] = payloadName;
  line["apnsId"] = facts.headers.apnsId;
  line["pushType"] = push::pushTypeName(facts.headers.pushType);
  line["priority"] = facts.headers.priority;
  if (facts.headers.collapseId) line["collapseId"] = *facts.headers.collapseId;
  line["deliveredBy"] = shown.byExtension ? "extension" : "host";
  if (facts.handledBy) line["handledBy"] = *facts.handledBy;
  line["extension"] = extensionDecisionText(facts.extension);
  line["presented"] = facts.presented;
  if (!facts.warnings.empty()) line["warnings"] = facts.warnings;
  line["badge"] = nullptr;
  // A push another handler received sets no badge and shows no alert, whatever it carries.
  if (std::optional<std::int64_t> badge = content.badge(); badge && !facts.handledBy) {
    line["badge"] = *badge;
  }
  if (std::optional<std::string> note = badgeNote(shown)) line["badgeNote"] = *note;
  line["alert"] = alertJson(facts.handledBy ? RenderedAlert{} : alert);
  line["userInfo"] = nlohmann::ordered_json(jsonFromPlist(content.userInfo()));
  if (facts.handledBy) return line;
  if (const PlistValue::Dictionary* fields = content.displayFields().asDictionary()) {
    for (const PlistEntry& field : *fields) {
      // The fields come from the extension; one named like the host's own keys must not replace
      // them, and one without a string name has no place in a JSON object.
      const std::string* name = field.key.asString();
      if (name == nullptr || line.contains(*name)) continue;
      line[*name] = nlohmann::ordered_json(jsonFromPlist(field.value));
    }
  }
  return line;
}

nlohmann::ordered_json droppedLine(const std::string& payloadName, const push::PushHeaders& headers,
                                   std::string_view why) {
  nlohmann::ordered_json line;
  line["payload"] = payloadName;
  line["apnsId"] = headers.apnsId;
  line["pushType"] = push::pushTypeName(headers.pushType);
  line["priority"] = headers.priority;
  if (headers.collapseId) line["collapseId"] = *headers.collapseId;
  if (headers.expiration) line["expiration"] = *headers.expiration;
  line["dropped"] = why;
  return line;
}

void ShownLinePrinter::print(std::string_view line) {
  ++printed_;
  if (lost_ > 0) {
    ++lost_;
    return;
  }
  errno = 0;
  std::cout << line << '\n';
  std::cout.flush();
  if (!std::cout) markLost(1);
}

bool ShownLinePrinter::finish() {
  errno = 0;
  // Every line was flushed as it went; a failure only now leaves unknown which, so all count.
  if (!tools::stdoutIntact() && lost_ == 0) markLost(printed_);
  return lost_ == 0;
}

void ShownLinePrinter::markLost(std::size_t lines) {
  lost_ += lines;
  failure_ = errno != 0 ? std::strerror(errno) : "write error";
}

}  // namespace quenlarch::notification_host
