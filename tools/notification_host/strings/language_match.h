// Which of an app's localizations serve the languages a person prefers, as the platform matches
// them: both sides are expanded with ICU's likely subtags, so that "zh_CN" (zh-Hans-CN) finds
// zh-Hans, "zh_TW" and "zh_HK" find zh-Hant, and "pt_BR" finds pt-BR, then pt (pt-Latn-BR), while a
// different script never matches.
#pragma once

#include <string>
#include <vector>

namespace quenlarch::notification_host {

// The names from `available` (.lproj folder names or catalog languages: "en", "zh-Hans", "pt_BR")
// that serve `preferred` (BCP 47 tags or locale names, most wanted first), best first and each
// once. For every preferred language in turn: the same name, then those equal once expanded
// (region included), then those of the same language and script without a region of their own,
// then the same language and script in another region; among equals the more specific name
// first. "Base" is no language.
std::vector<std::string> matchLanguages(const std::vector<std::string>& preferred,
                                        const std::vector<std::string>& available);

}  // namespace quenlarch::notification_host
