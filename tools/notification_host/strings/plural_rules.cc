// ICU's plural rules, held read-only.
#include "tools/notification_host/strings/plural_rules.h"

#include <unicode/locid.h>
#include <unicode/plurrule.h>

#include <algorithm>

namespace quenlarch::notification_host {

struct PluralRules::Rules {
  std::unique_ptr<icu::PluralRules> rules;
};

PluralRules::PluralRules() = default;

PluralRules PluralRules::forLanguage(std::string_view language) {
  std::string tag(language);
  std::replace(tag.begin(), tag.end(), '_', '-');
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(tag, status);
  if (U_FAILURE(status) || locale.isBogus()) return PluralRules();
  auto rules = std::make_shared<Rules>();
  rules->rules.reset(icu::PluralRules::forLocale(locale, UPLURAL_TYPE_CARDINAL, status));
  if (U_FAILURE(status) || rules->rules == nullptr) return PluralRules();
  return PluralRules(std::move(rules));
}

std::string PluralRules::category(double number) const {
  if (rules_ == nullptr) return "other";
  std::string category;
  rules_->rules->select(number).toUTF8String(category);
  return category;
}

}  // namespace quenlarch::notification_host
