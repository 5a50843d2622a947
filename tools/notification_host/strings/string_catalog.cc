// Reading String Catalogs with nlohmann-json (no exceptions: a SAX pass finds the line of a fault).
#include "tools/notification_host/strings/string_catalog.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/notification_host/strings/format_renderer.h"
#include "tools/notification_host/strings/stringsdict.h"

namespace quenlarch::notification_host {
namespace {

using nlohmann::json;

// Variations nest a few levels in real catalogs (device, then plural); deeper is no catalog.
constexpr int kMaxVariationDepth = 6;

// Accepts everything and remembers where parsing failed.
struct ErrorPosition : nlohmann::json_sax<json> {
  std::size_t position = 0;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t at, const std::string&,
                   const nlohmann::detail::exception&) override {
    position = at;
    return false;
  }
};

std::size_t errorLine(std::string_view text) {
  ErrorPosition sax;
  json::sax_parse(text, &sax);
  const std::size_t end = std::min(sax.position, text.size());
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + end, '\n'));
}

const json* member(const json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  auto found = object.find(name);
  return found == object.end() ? nullptr : &*found;
}

const std::string* stringMember(const json& object, std::string_view name) {
  const json* value = member(object, name);
  return value != nullptr && value->is_string() ? value->get_ptr<const std::string*>() : nullptr;
}

// What a localization node says: a text, or texts by plural category.
struct NodeText {
  std::optional<std::string> text;
  std::optional<PluralVariable> plural;
};

std::optional<NodeText> nodeText(const json& node, int depth) {
  if (depth > kMaxVariationDepth) return std::nullopt;
  if (const json* unit = member(node, "stringUnit")) {
    if (const std::string* value = stringMember(*unit, "value")) return NodeText{*value, {}};
  }
  const json* variations = member(node, "variations");
  if (variations == nullptr) return std::nullopt;
  if (const json* device = member(*variations, "device")) {
    for (const char* name : {"mac", "other"}) {
      const json* choice = member(*device, name);
      if (choice == nullptr) continue;
      if (std::optional<NodeText> text = nodeText(*choice, depth + 1)) return text;
    }
  }
  if (const json* plural = member(*variations, "plural");
      plural != nullptr && plural->is_object()) {
    PluralVariable variable;
    for (const auto& [category, form] : plural->items()) {
      if (!isPluralCategory(category)) continue;
      std::optional<NodeText> text = nodeText(form, depth + 1);
      if (text && text->text) variable.forms.emplace(category, std::move(*text->text));
    }
    if (!variable.forms.empty()) return NodeText{std::nullopt, std::move(variable)};
  }
  return std::nullopt;
}

// A substitution's plural variable; "%arg" in its forms becomes the directive of its argument.
std::optional<PluralVariable> substitution(const json& node) {
  std::optional<NodeText> text = nodeText(node, 1);
  if (!text) return std::nullopt;
  PluralVariable variable =
      text->plural ? std::move(*text->plural) : PluralVariable{{{"other", *text->text}}, {}};
  const json* argNum = member(node, "argNum");
  if (argNum != nullptr && argNum->is_number_unsigned() && argNum->get<std::uint64_t>() > 0) {
    variable.argument = argNum->get<std::size_t>();
  }
  const std::string* specifier = stringMember(node, "formatSpecifier");
  const std::string directive =
      "%" + (variable.argument ? std::to_string(*variable.argument) + "$" : "") +
      (specifier != nullptr ? *specifier : "lld");
  for (auto& [category, form] : variable.forms) {
    for (std::size_t at = form.find("%arg"); at != std::string::npos;
         at = form.find("%arg", at + directive.size())) {
      form.replace(at, 4, directive);
    }
  }
  return variable;
}

std::optional<LocalizedFormat> localizedFormat(const json& localization) {
  std::optional<NodeText> text = nodeText(localization, 0);
  if (!text) return std::nullopt;
  LocalizedFormat format;
  if (text->text) {
    format.format = std::move(*text->text);
  } else {
    format.wholeText = std::move(*text->plural);
    auto other = format.wholeText->forms.find("other");
    const std::string& sample = other != format.wholeText->forms.end()
                                    ? other->second
                                    : format.wholeText->forms.begin()->second;
    format.wholeText->argument = firstIntegerArgument(sample);
  }
  if (const json* substitutions = member(localization, "substitutions");
      substitutions != nullptr && substitutions->is_object()) {
    for (const auto& [name, node] : substitutions->items()) {
      if (std::optional<PluralVariable> variable = substitution(node)) {
        format.variables.emplace(name, std::move(*variable));
      }
    }
  }
  return format;
}

}  // namespace

std::vector<std::string> StringCatalog::languages() const {
  std::vector<std::string> languages = {sourceLanguage};
  for (const Entry& entry : entries) {
    for (const auto& [language, format] : entry.localizations) {
      if (std::find(languages.begin(), languages.end(), language) == languages.end()) {
        languages.push_back(language);
      }
    }
  }
  return languages;
}

StringsEntries StringCatalog::entriesFor(std::string_view language) const {
  StringsEntries table;
  for (const Entry& entry : entries) {
    auto found = entry.localizations.find(language);
    if (found != entry.localizations.end()) table.emplace(entry.key, found->second);
  }
  return table;
}

StringsEntries StringCatalog::sourceEntries() const {
  StringsEntries table;
  for (const Entry& entry : entries) {
    auto found = entry.localizations.find(sourceLanguage);
    table.emplace(entry.key, found != entry.localizations.end()
                                 ? found->second
                                 : LocalizedFormat{entry.key, {}, std::nullopt});
  }
  return table;
}

Expected<StringCatalog> parseStringCatalog(std::string_view text) {
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    return unexpected("line " + std::to_string(errorLine(text)) + ": not JSON");
  }
  const std::string* sourceLanguage = stringMember(document, "sourceLanguage");
  const json* strings = member(document, "strings");
  if (sourceLanguage == nullptr || strings == nullptr || !strings->is_object()) {
    return unexpected("no \"sourceLanguage\" and \"strings\" of a String Catalog");
  }
  StringCatalog catalog;
  catalog.sourceLanguage = *sourceLanguage;
  for (const auto& [key, entry] : strings->items()) {
    StringCatalog::Entry parsed{key, {}};
    if (const json* localizations = member(entry, "localizations");
        localizations != nullptr && localizations->is_object()) {
      for (const auto& [language, localization] : localizations->items()) {
        if (std::optional<LocalizedFormat> format = localizedFormat(localization)) {
          parsed.localizations.emplace(language, std::move(*format));
        }
      }
    }
    catalog.entries.push_back(std::move(parsed));
  }
  return catalog;
}

}  // namespace quenlarch::notification_host
