// Fills a localized format with a push's loc-args, as the platform renders alert texts:
//   %@  %N$@                  the next / the N-th argument (from 1) as text; a missing one is empty
//   %d %i %u %ld %lld %lu %llu and their %N$ forms
//                             an integer argument (a number, or a string of decimal digits with
//                             an optional "-") in decimal; an argument that is missing, not an
//                             integer or out of the directive's range (32 bits without l, 64
//                             with) leaves the directive as written
//   %#@name@  %N$#@name@      the plural variable `name` (at most 256 bytes): its form for the
//                             category of the argument at that position (ICU's rules of the
//                             table's language; 0 takes a "zero" form wherever there is one, as on
//                             the platform), "other" when that form is missing or the argument is
//                             no integer. The form is rendered in place, so its own directives
//                             take the arguments from that position on.
//   %%                        "%"
// Any other "%" sequence is kept as written; surplus arguments are ignored. Arguments that are
// not strings or integers are shown as their JSON text (null as empty).
//
// The rendered text is at most kMaxRenderedBytes long: a longer one is cut on a UTF-8 character
// boundary and ends with kTruncationMarker. Rendering stops once the cap is reached, or once it
// has read kMaxRenderWork bytes of format text (its forms counted each time they are rendered;
// the text then ends with the marker too). Plural variables nest at most kMaxVariableDepth deep
// and expand at most kMaxVariableExpansions times. So no table entry or payload can make the work
// or the output of one field blow up.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/plist_value.h"
#include "tools/notification_host/strings/localized_format.h"
#include "tools/notification_host/strings/plural_rules.h"

namespace quenlarch::notification_host {

inline constexpr std::size_t kMaxRenderedBytes = 4096;
inline constexpr std::string_view kTruncationMarker = "\u2026";  // "…"
inline constexpr int kMaxVariableDepth = 8;
inline constexpr int kMaxVariableExpansions = 64;
inline constexpr std::size_t kMaxRenderWork = 16 * kMaxRenderedBytes;

// What one rendering took.
struct RenderWork {
  std::size_t formatBytes = 0;  // format text read, forms each time rendered; ≤ kMaxRenderWork
};

// `entry` filled with `args`; plural forms are chosen with `plurals`. What it took is told to
// `work` when given.
std::string renderLocalizedFormat(const LocalizedFormat& entry, const PluralRules& plurals,
                                  std::span<const PlistValue> args, RenderWork* work = nullptr);

// A plain format (no plural variables) filled with `args`.
std::string renderFormat(std::string_view format, std::span<const PlistValue> args,
                         RenderWork* work = nullptr);

// `text` cut to at most kMaxRenderedBytes, as rendered text is.
std::string capRenderedText(std::string_view text);

// The argument (from 1) that the first integer directive of `format` takes; none when there is
// no integer directive. What a plural text without a named variable varies by.
std::optional<std::size_t> firstIntegerArgument(std::string_view format);

}  // namespace quenlarch::notification_host
