// Output lines and diagnostics.
#include "tools/notification_host/console.h"

#include <iostream>

#include "platform/plist_json.h"
#include "tools/notification_host/alert_rendering.h"

namespace quenlarch::notification_host {

void note(std::string_view message) { std::cerr << "notification-host: " << message << std::endl; }

int fail(int code, std::string_view message) {
  note(message);
  return code;
}

nlohmann::ordered_json shownLine(const std::string& payloadName, const Shown& shown,
                                 const LocalizedStrings& strings) {
  const PushContent& content = *shown.content;
  nlohmann::ordered_json line;
  line["payload"] = payloadName;
  line["deliveredBy"] = shown.byExtension ? "extension" : "host";
  line["badge"] = nullptr;
  if (std::optional<std::int64_t> badge = content.badge()) line["badge"] = *badge;
  line["alert"] = alertJson(renderAlert(content.userInfo(), strings));
  line["userInfo"] = nlohmann::ordered_json(jsonFromPlist(content.userInfo()));
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

void printLine(const nlohmann::ordered_json& line) {
  // A file name need not be UTF-8; it is shown with replacement characters rather than aborting.
  std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
            << std::endl;
}

}  // namespace quenlarch::notification_host
