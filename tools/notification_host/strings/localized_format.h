// What one key of a strings table stands for: a format with "%" directives, possibly with plural
// variables ("%#@name@") whose text is chosen by the plural category of an integer argument. The
// text form and property-list .strings give plain formats; .stringsdict files and String Catalogs
// add the plural variables. Read by the format renderer (format_renderer.h).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace quenlarch::notification_host {

// The texts of one plural variable, by category: "zero", "one", "two", "few", "many", "other".
struct PluralVariable {
  std::map<std::string, std::string, std::less<>> forms;
  // The argument (from 1) whose value picks the form; none: the argument at the position of the
  // "%#@name@" reference, as for any other directive there.
  std::optional<std::size_t> argument;
  friend bool operator==(const PluralVariable&, const PluralVariable&) = default;
};

struct LocalizedFormat {
  std::string format;
  // Variables that "%#@name@" in `format` (or in another variable's forms) refers to.
  std::map<std::string, PluralVariable, std::less<>> variables;
  // When present the whole text varies by plural and `format` is unused: a String Catalog entry
  // with plural variations and no substitutions.
  std::optional<PluralVariable> wholeText;
  friend bool operator==(const LocalizedFormat&, const LocalizedFormat&) = default;
};

// A table's entries by key.
using StringsEntries = std::map<std::string, LocalizedFormat, std::less<>>;

}  // namespace quenlarch::notification_host
