// Reading String Catalogs with nlohmann-json (no exceptions: a SAX pass finds the line of a fault).
#include "tools/notification_host/strings/string_catalog.h"

#include <algorithm>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

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

// The bytes a catalog may still take once read; see kMaxCatalogExpansion.
class Budget {
 public:
  explicit Budget(std::size_t bytes) : left_(bytes) {}
  // Takes `bytes`; false once the budget is spent.
  bool take(std::size_t bytes) {
    if (bytes > left_) {
      left_ = 0;
      spent_ = true;
      return false;
    }
    left_ -= bytes;
    return true;
  }
  bool spent() const { return spent_; }

 private:
  std::size_t left_;
  bool spent_ = false;
};

// A printf conversion as a catalog's "formatSpecifier" names one: flags, width, precision, a
// length and the conversion ("lld", "@", ".2f"), short as real ones are. Anything else would be
// copied into every "%arg" it stands for.
bool isShortConversion(std::string_view specifier) {
  constexpr std::size_t kMaxSpecifierLength = 8;
  if (specifier.empty() || specifier.size() > kMaxSpecifierLength) return false;
  std::size_t at = specifier.find_first_not_of("-+ #0'");
  if (at == std::string_view::npos) return false;
  at = std::min(specifier.find_first_not_of("0123456789", at), specifier.size());
  if (at < specifier.size() && specifier[at] == '.') {
    at = std::min(specifier.find_first_not_of("0123456789", at + 1), specifier.size());
  }
  std::string_view rest = specifier.substr(at);
  for (std::string_view length : {"hh", "ll", "h", "l", "q", "L", "z", "t", "j"}) {
    if (rest.starts_with(length)) {
      rest.remove_prefix(length.size());
      break;
    }
  }
  return rest.size() == 1 &&
         std::string_view("diouxXfFeEgGaAcCsSp@").find(rest[0]) != std::string_view::npos;
}

// `form` with each "%arg" written as `directive`, when the budget allows what that makes.
std::optional<std::string> withDirective(std::string_view form, std::string_view directive,
                                         Budget& budget) {
  constexpr std::string_view kArg = "%arg";
  std::size_t count = 0;
  for (std::size_t at = form.find(kArg); at != std::string_view::npos;
       at = form.find(kArg, at + kArg.size())) {
    ++count;
  }
  const std::size_t size = form.size() - count * kArg.size();
  if (count > (std::numeric_limits<std::size_t>::max() - size) / directive.size() ||
      !budget.take(size + count * directive.size())) {
    return std::nullopt;
  }
  std::string written;
  written.reserve(size + count * directive.size());
  for (std::size_t at = 0;;) {
    const std::size_t next = form.find(kArg, at);
    written.append(form.substr(at, next - at));
    if (next == std::string_view::npos) return written;
    written.append(directive);
    at = next + kArg.size();
  }
}

// A substitution's plural variable; "%arg" in its forms becomes the directive of its argument.
// None when the substitution is of no shape known here or its specifier is no short conversion.
std::optional<PluralVariable> substitution(const json& node, Budget& budget) {
  std::optional<NodeText> text = nodeText(node, 1);
  if (!text) return std::nullopt;
  const std::string* specifier = stringMember(node, "formatSpecifier");
  if (specifier != nullptr && !isShortConversion(*specifier)) return std::nullopt;
  PluralVariable variable =
      text->plural ? std::move(*text->plural) : PluralVariable{{{"other", *text->text}}, {}};
  const json* argNum = member(node, "argNum");
  if (argNum != nullptr && argNum->is_number_unsigned() && argNum->get<std::uint64_t>() > 0) {
    variable.argument = argNum->get<std::size_t>();
  }
  const std::string directive =
      "%" + (variable.argument ? std::to_string(*variable.argument) + "$" : "") +
      (specifier != nullptr ? *specifier : "lld");
  for (auto& [category, form] : variable.forms) {
    std::optional<std::string> written = withDirective(form, directive, budget);
    if (!written || !budget.take(category.size())) return std::nullopt;
    form = std::move(*written);
  }
  return variable;
}

std::size_t textBytes(const PluralVariable& variable) {
  std::size_t bytes = 0;
  for (const auto& [category, form] : variable.forms) bytes += category.size() + form.size();
  return bytes;
}

std::optional<LocalizedFormat> localizedFormat(const json& localization, Budget& budget) {
  std::optional<NodeText> text = nodeText(localization, 0);
  if (!text) return std::nullopt;
  LocalizedFormat format;
  if (text->text) {
    format.format = std::move(*text->text);
    if (!budget.take(format.format.size())) return std::nullopt;
  } else {
    format.wholeText = std::move(*text->plural);
    if (!budget.take(textBytes(*format.wholeText))) return std::nullopt;
    auto other = format.wholeText->forms.find("other");
    const std::string& sample = other != format.wholeText->forms.end()
                                    ? other->second
                                    : format.wholeText->forms.begin()->second;
    format.wholeText->argument = firstIntegerArgument(sample);
  }
  if (const json* substitutions = member(localization, "substitutions");
      substitutions != nullptr && substitutions->is_object()) {
    for (const auto& [name, node] : substitutions->items()) {
      if (std::optional<PluralVariable> variable = substitution(node, budget)) {
        if (!budget.take(name.size())) return std::nullopt;
        format.variables.emplace(name, std::move(*variable));
      }
      if (budget.spent()) return std::nullopt;
    }
  }
  return format;
}

}  // namespace

std::vector<std::string> StringCatalog::languages() const {
  std::vector<std::string> languages = {sourceLanguage};
  for (const auto& [language, entries] : localizations) {
    if (language != sourceLanguage) languages.push_back(language);
  }
  return languages;
}

StringsEntries StringCatalog::entriesFor(std::string_view language) const {
  auto found = localizations.find(language);
  return found != localizations.end() ? found->second : StringsEntries{};
}

StringsEntries StringCatalog::sourceEntries() const {
  StringsEntries table = entriesFor(sourceLanguage);
  for (const std::string& key : keys) {
    if (!table.contains(key)) table.emplace(key, LocalizedFormat{key, {}, std::nullopt});
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
  Budget budget(kMaxCatalogExpansion * text.size());
  std::set<std::string, std::less<>> ignored;
  for (const auto& [key, entry] : strings->items()) {
    // A key is kept once as itself, and once more as its own value in the source language.
    budget.take(2 * key.size());
    catalog.keys.push_back(key);
    const json* localizations = member(entry, "localizations");
    if (localizations == nullptr || !localizations->is_object()) continue;
    for (const auto& [language, localization] : localizations->items()) {
      auto table = catalog.localizations.find(language);
      if (table == catalog.localizations.end()) {
        if (ignored.contains(language)) continue;
        if (catalog.localizations.size() >= kMaxCatalogLanguages &&
            language != catalog.sourceLanguage) {
          ignored.insert(language);
          continue;
        }
      }
      std::optional<LocalizedFormat> format = localizedFormat(localization, budget);
      if (budget.spent()) break;
      if (!format) continue;
      if (table == catalog.localizations.end()) {
        table = catalog.localizations.emplace(language, StringsEntries{}).first;
      }
      table->second.emplace(key, std::move(*format));
      budget.take(key.size() + language.size());
    }
    if (budget.spent()) {
      return unexpected("it would take more than " + std::to_string(kMaxCatalogExpansion) +
                        " times its " + std::to_string(text.size()) + " bytes once read");
    }
  }
  catalog.ignoredLanguages = ignored.size();
  return catalog;
}

}  // namespace quenlarch::notification_host
