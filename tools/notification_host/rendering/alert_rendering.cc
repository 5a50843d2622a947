// Alert rendering: which text each field takes, and the arguments its format gets.
#include "tools/notification_host/rendering/alert_rendering.h"

#include <span>

#include "tools/notification_host/strings/format_renderer.h"

namespace quenlarch::notification_host {
namespace {

std::span<const PlistValue> argumentsOf(const PlistValue* args) {
  const PlistValue::Array* list = args != nullptr ? args->asArray() : nullptr;
  if (list == nullptr) return {};
  return std::span<const PlistValue>(*list);
}

// One displayed field: the localized `locKeyName` with `locArgsName` when the key is a string,
// otherwise the literal `literalName` when that is a string.
std::optional<std::string> renderField(const PlistValue& alert, std::string_view literalName,
                                       std::string_view locKeyName, std::string_view locArgsName,
                                       const LocalizedStrings& strings) {
  if (const PlistValue* key = alert.find(locKeyName); key != nullptr && key->isString()) {
    std::span<const PlistValue> args = argumentsOf(alert.find(locArgsName));
    if (std::optional<LocalizedStrings::Found> found = strings.find(*key->asString())) {
      return renderLocalizedFormat(*found->format, *found->plurals, args);
    }
    return renderFormat(*key->asString(), args);
  }
  if (const PlistValue* literal = alert.find(literalName); literal != nullptr) {
    if (const std::string* text = literal->asString()) return capRenderedText(*text);
  }
  return std::nullopt;
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string formatLocalized(std::string_view format, const PlistValue* args) {
  return renderFormat(format, argumentsOf(args));
}

RenderedAlert renderAlert(const PlistValue& userInfo, const LocalizedStrings& strings) {
  RenderedAlert rendered;
  const PlistValue* aps = userInfo.find("aps");
  const PlistValue* alert = aps != nullptr ? aps->find("alert") : nullptr;
  if (alert == nullptr) return rendered;
  if (const std::string* text = alert->asString()) {
    rendered.body = capRenderedText(*text);
  } else if (alert->isDictionary()) {
    rendered.title = renderField(*alert, "title", "title-loc-key", "title-loc-args", strings);
    rendered.subtitle =
        renderField(*alert, "subtitle", "subtitle-loc-key", "subtitle-loc-args", strings);
    rendered.body = renderField(*alert, "body", "loc-key", "loc-args", strings);
  }
  return rendered;
}

nlohmann::ordered_json alertJson(const RenderedAlert& alert) {
  nlohmann::ordered_json json;
  json["title"] = optionalText(alert.title);
  json["subtitle"] = optionalText(alert.subtitle);
  json["body"] = optionalText(alert.body);
  return json;
}

}  // namespace quenlarch::notification_host
