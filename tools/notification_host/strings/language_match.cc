// Language matching on ICU's likely subtags (Locale::addLikelySubtags).
#include "tools/notification_host/strings/language_match.h"

#include <unicode/locid.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <tuple>
#include <unordered_set>

namespace quenlarch::notification_host {
namespace {

// "pt_BR" and "PT-br" are the same name.
std::string normalizedName(std::string_view name) {
  std::string normal(name);
  for (char& c : normal) {
    if (c == '_') c = '-';
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return normal;
}

struct Language {
  std::string name;                     // as given
  std::string normalized;               // normalizedName(name)
  std::optional<icu::Locale> expanded;  // with likely subtags; none when ICU cannot parse it
  bool hasRegion = false;               // the name itself names a region
  int subtags = 0;
};

Language describe(const std::string& name) {
  Language language{name, normalizedName(name), std::nullopt, false, 0};
  language.subtags =
      1 + static_cast<int>(std::count(language.normalized.begin(), language.normalized.end(), '-'));
  if (language.normalized == "base") return language;
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale locale = icu::Locale::forLanguageTag(language.normalized, status);
  if (U_FAILURE(status) || locale.isBogus() || *locale.getLanguage() == '\0') return language;
  language.hasRegion = *locale.getCountry() != '\0';
  locale.addLikelySubtags(status);
  if (U_SUCCESS(status)) language.expanded = locale;
  return language;
}

// How well `candidate` serves `wanted`: 0 best, 3 worst; none when it does not.
std::optional<int> rank(const Language& wanted, const Language& candidate) {
  if (wanted.normalized == candidate.normalized) return 0;
  if (!wanted.expanded || !candidate.expanded) return std::nullopt;
  const icu::Locale& a = *wanted.expanded;
  const icu::Locale& b = *candidate.expanded;
  if (std::string_view(a.getLanguage()) != b.getLanguage() ||
      std::string_view(a.getScript()) != b.getScript()) {
    return std::nullopt;
  }
  if (std::string_view(a.getCountry()) == b.getCountry()) return 1;
  return candidate.hasRegion ? 3 : 2;
}

}  // namespace

std::vector<std::string> matchLanguages(const std::vector<std::string>& preferred,
                                        const std::vector<std::string>& available) {
  std::vector<Language> candidates;
  for (const std::string& name : available) candidates.push_back(describe(name));
  std::vector<std::string> order;
  std::unordered_set<std::string_view> ordered;  // names in `order`, which `candidates` own
  std::vector<bool> taken(candidates.size(), false);
  for (const std::string& name : preferred) {
    const Language wanted = describe(name);
    std::vector<std::tuple<int, int, std::string, std::size_t>> ranked;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      if (taken[i]) continue;
      if (std::optional<int> r = rank(wanted, candidates[i])) {
        ranked.emplace_back(*r, -candidates[i].subtags, candidates[i].name, i);
      }
    }
    std::sort(ranked.begin(), ranked.end());
    for (const auto& [r, specificity, candidateName, index] : ranked) {
      taken[index] = true;
      if (ordered.insert(candidates[index].name).second) order.push_back(candidateName);
    }
  }
  return order;
}

}  // namespace quenlarch::notification_host
