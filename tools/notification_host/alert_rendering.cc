// Alert rendering and the format substitution of localized strings.
#include "tools/notification_host/alert_rendering.h"

#include <charconv>

#include "platform/linux/plist_json.h"

namespace quenlarch::notification_host {
namespace {

std::string argumentText(const PlistValue& argument) {
  if (const std::string* text = argument.asString()) return *text;
  if (argument.isNull()) return {};
  return nlohmann::json(jsonFromPlist(argument))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string argumentAt(const PlistValue::Array* args, std::size_t index) {
  if (args == nullptr || index >= args->size()) return {};
  return argumentText((*args)[index]);
}

// The position N of "%N$@" at the start of `directive` (just after the "%") and the length of
// "N$@"; none when `directive` does not start that way.
std::optional<std::pair<std::size_t, std::size_t>> positionalSpec(std::string_view directive) {
  std::size_t digits = 0;
  while (digits < directive.size() && directive[digits] >= '0' && directive[digits] <= '9')
    ++digits;
  if (digits == 0 || digits + 1 >= directive.size() || directive[digits] != '$' ||
      directive[digits + 1] != '@') {
    return std::nullopt;
  }
  std::size_t position = 0;
  auto [end, error] = std::from_chars(directive.data(), directive.data() + digits, position);
  if (error != std::errc() || end != directive.data() + digits || position == 0)
    return std::nullopt;
  return std::pair{position, digits + 2};
}

// One displayed field: the localized `locKeyName` with `locArgsName` when the key is a string,
// otherwise the literal `literalName` when that is a string.
std::optional<std::string> renderField(const PlistValue& alert, std::string_view literalName,
                                       std::string_view locKeyName, std::string_view locArgsName,
                                       const LocalizedStrings& strings) {
  if (const PlistValue* key = alert.find(locKeyName); key != nullptr && key->isString()) {
    std::optional<std::string> format = strings.lookup(*key->asString());
    return formatLocalized(format ? *format : *key->asString(), alert.find(locArgsName));
  }
  if (const PlistValue* literal = alert.find(literalName); literal != nullptr) {
    if (const std::string* text = literal->asString()) return *text;
  }
  return std::nullopt;
}

nlohmann::ordered_json optionalText(const std::optional<std::string>& text) {
  return text ? nlohmann::ordered_json(*text) : nlohmann::ordered_json(nullptr);
}

}  // namespace

std::string formatLocalized(std::string_view format, const PlistValue* args) {
  const PlistValue::Array* list = args != nullptr ? args->asArray() : nullptr;
  std::string out;
  std::size_t nextArgument = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    std::size_t percent = format.find('%', i);
    out.append(format.substr(i, percent - i));
    if (percent == std::string_view::npos) break;
    std::string_view directive = format.substr(percent + 1);
    if (!directive.empty() && directive.front() == '%') {
      out += '%';
      i = percent + 2;
    } else if (!directive.empty() && directive.front() == '@') {
      out += argumentAt(list, nextArgument++);
      i = percent + 2;
    } else if (auto positional = positionalSpec(directive)) {
      out += argumentAt(list, positional->first - 1);
      i = percent + 1 + positional->second;
    } else {
      out += '%';
      i = percent + 1;
    }
  }
  return out;
}

RenderedAlert renderAlert(const PlistValue& userInfo, const LocalizedStrings& strings) {
  RenderedAlert rendered;
  const PlistValue* aps = userInfo.find("aps");
  const PlistValue* alert = aps != nullptr ? aps->find("alert") : nullptr;
  if (alert == nullptr) return rendered;
  if (const std::string* text = alert->asString()) {
    rendered.body = *text;
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
