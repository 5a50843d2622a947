// Which plural form a number takes in a language: ICU's cardinal plural rules (CLDR), as the
// platform uses them to pick among the forms of a .stringsdict or String Catalog entry. A value is
// cheap to copy and safe to use from several threads at once (it is never changed after creation).
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace quenlarch::notification_host {

class PluralRules {
 public:
  // The rules of `language`, a BCP 47 tag ("pt-BR", "zh-Hans") or a locale name ("pt_BR"). A
  // language ICU does not know gets the root rules, where every number is "other".
  static PluralRules forLanguage(std::string_view language);
  // The root rules: what a key found in no table is rendered with.
  PluralRules();

  // "zero", "one", "two", "few", "many" or "other" for `number`. ICU reads a number's digits as
  // a double, so integers beyond 2^53 take the category of their nearest double.
  std::string category(double number) const;

 private:
  struct Rules;
  explicit PluralRules(std::shared_ptr<const Rules> rules) : rules_(std::move(rules)) {}
  std::shared_ptr<const Rules> rules_;  // null: the root rules
};

}  // namespace quenlarch::notification_host
