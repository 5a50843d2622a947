// The format renderer: one pass over the format, directives parsed where they stand, output
// collected under the cap.
#include "tools/notification_host/strings/format_renderer.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/linux/plist_json.h"

namespace quenlarch::notification_host {
namespace {

enum class DirectiveKind { kPercent, kObject, kInteger, kVariable };

// One directive, from the character after its "%".
struct Directive {
  DirectiveKind kind = DirectiveKind::kPercent;
  std::size_t length = 0;               // characters after the "%"
  std::optional<std::size_t> position;  // N of "%N$...", from 1
  bool isSigned = true;                 // kInteger: d and i, not u
  bool is64Bit = false;                 // kInteger: with "l" or "ll"
  std::string_view name;                // kVariable
};

// No position has more digits than 2^64, and no variable name is longer: a directive is read
// within a few hundred bytes, whatever follows it.
constexpr std::size_t kMaxPositionDigits = 20;
constexpr std::size_t kMaxVariableName = 256;

// The directive at the start of `rest` (the text after a "%"); none when it is not one and the
// "%" stands as written.
std::optional<Directive> parseDirective(std::string_view rest) {
  Directive directive;
  if (!rest.empty() && rest.front() == '%') {
    directive.length = 1;
    return directive;
  }
  std::size_t digits = 0;
  while (digits < rest.size() && digits < kMaxPositionDigits && rest[digits] >= '0' &&
         rest[digits] <= '9') {
    ++digits;
  }
  std::size_t conversionStart = 0;
  if (digits > 0 && digits < rest.size() && rest[digits] == '$') {
    std::size_t position = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + digits, position);
    if (error != std::errc() || position == 0) return std::nullopt;
    directive.position = position;
    conversionStart = digits + 1;
  }
  std::string_view conversion = rest.substr(conversionStart);
  if (conversion.starts_with("@")) {
    directive.kind = DirectiveKind::kObject;
    directive.length = conversionStart + 1;
    return directive;
  }
  if (conversion.starts_with("#@")) {
    std::size_t close = conversion.substr(0, 2 + kMaxVariableName + 1).find('@', 2);
    if (close == std::string_view::npos || close == 2) return std::nullopt;
    directive.kind = DirectiveKind::kVariable;
    directive.name = conversion.substr(2, close - 2);
    directive.length = conversionStart + close + 1;
    return directive;
  }
  std::size_t longs = 0;
  while (longs < 2 && longs < conversion.size() && conversion[longs] == 'l') ++longs;
  if (longs < conversion.size() &&
      (conversion[longs] == 'd' || conversion[longs] == 'i' || conversion[longs] == 'u')) {
    directive.kind = DirectiveKind::kInteger;
    directive.isSigned = conversion[longs] != 'u';
    directive.is64Bit = longs > 0;
    directive.length = conversionStart + longs + 1;
    return directive;
  }
  return std::nullopt;
}

// An integer argument as sign and magnitude, so that every int64 and uint64 fits.
struct Integer {
  bool negative = false;
  std::uint64_t magnitude = 0;

  bool fits(const Directive& directive) const {
    const std::uint64_t positiveMax =
        directive.isSigned
            ? (directive.is64Bit ? std::uint64_t{std::numeric_limits<std::int64_t>::max()}
                                 : std::uint64_t{std::numeric_limits<std::int32_t>::max()})
            : (directive.is64Bit ? std::numeric_limits<std::uint64_t>::max()
                                 : std::uint64_t{std::numeric_limits<std::uint32_t>::max()});
    if (!negative) return magnitude <= positiveMax;
    return directive.isSigned && magnitude <= positiveMax + 1;
  }
  std::string decimal() const {
    // The sign in the buffer rather than prepended: GCC 12 at -O3 warns (-Wrestrict) about the
    // insert that "-" + std::string(...) makes.
    char text[25] = {'-'};
    auto [end, error] = std::to_chars(text + 1, text + sizeof text, magnitude);
    return std::string(negative ? text : text + 1, end);
  }
};

// The integer an argument stands for: an integer number, or a string of decimal digits with an
// optional "-" that fits 64 bits.
std::optional<Integer> integerArgument(const PlistValue* argument) {
  if (argument == nullptr) return std::nullopt;
  if (const auto* value = std::get_if<std::int64_t>(&argument->storage())) {
    if (*value >= 0) return Integer{false, static_cast<std::uint64_t>(*value)};
    return Integer{true, static_cast<std::uint64_t>(-(*value + 1)) + 1};
  }
  if (const auto* value = std::get_if<std::uint64_t>(&argument->storage())) {
    return Integer{false, *value};
  }
  const std::string* text = argument->asString();
  if (text == nullptr) return std::nullopt;
  std::string_view digits = *text;
  Integer integer;
  if (digits.starts_with("-")) {
    integer.negative = true;
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
  auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), integer.magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (integer.negative && integer.magnitude > (std::uint64_t{1} << 63)) return std::nullopt;
  if (integer.magnitude == 0) integer.negative = false;
  return integer;
}

std::string argumentText(const PlistValue* argument) {
  if (argument == nullptr || argument->isNull()) return {};
  if (const std::string* text = argument->asString()) return *text;
  return nlohmann::json(jsonFromPlist(*argument))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// The length of the longest prefix of `text` of at most `limit` bytes that ends on a character
// boundary.
std::size_t boundaryAtOrBefore(std::string_view text, std::size_t limit) {
  if (limit >= text.size()) return text.size();
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return limit;
}

// Text that stops growing at kMaxRenderedBytes, ending in the marker when anything was cut.
class CappedText {
 public:
  void append(std::string_view piece) {
    if (full_) return;
    if (piece.size() <= kMaxRenderedBytes - text_.size()) {
      text_.append(piece);
      return;
    }
    const std::size_t keep = kMaxRenderedBytes - kTruncationMarker.size();
    if (text_.size() < keep) {
      text_.append(piece.substr(0, boundaryAtOrBefore(piece, keep - text_.size())));
    }
    cut();
  }
  // Ends the text here, with the marker.
  void cut() {
    if (full_) return;
    const std::size_t keep = kMaxRenderedBytes - kTruncationMarker.size();
    if (text_.size() > keep) text_.resize(boundaryAtOrBefore(text_, keep));
    text_.append(kTruncationMarker);
    full_ = true;
  }
  bool full() const { return full_; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
  bool full_ = false;
};

class Renderer {
 public:
  Renderer(const LocalizedFormat* entry, const PluralRules& plurals,
           std::span<const PlistValue> args)
      : entry_(entry), plurals_(plurals), args_(args) {}

  void render(std::string_view format, int depth) {
    std::size_t i = 0;
    while (i < format.size() && !out_.full()) {
      // Nothing past the work allowance is read.
      const std::string_view rest = format.substr(i, kMaxRenderWork - work_);
      if (rest.empty()) {
        out_.cut();
        return;
      }
      const std::size_t percent = rest.find('%');
      if (percent == std::string_view::npos) {
        // A character that the allowance cuts is left out whole.
        out_.append(rest.substr(0, boundaryAtOrBefore(format.substr(i), rest.size())));
        consume(rest.size(), i);
        continue;
      }
      out_.append(rest.substr(0, percent));
      std::optional<Directive> directive = parseDirective(format.substr(i + percent + 1));
      if (directive && percent + 1 + directive->length > rest.size()) {
        consume(rest.size(), i);  // a directive that goes on past the allowance
        out_.cut();
        return;
      }
      if (!directive) {
        out_.append("%");
        consume(percent + 1, i);
        continue;
      }
      const std::string_view written = rest.substr(percent, 1 + directive->length);
      consume(percent + 1 + directive->length, i);
      switch (directive->kind) {
        case DirectiveKind::kPercent:
          out_.append("%");
          break;
        case DirectiveKind::kObject:
          out_.append(argumentText(argumentAt(takeIndex(*directive))));
          break;
        case DirectiveKind::kInteger: {
          std::optional<Integer> value = integerArgument(argumentAt(takeIndex(*directive)));
          out_.append(value && value->fits(*directive) ? value->decimal() : std::string(written));
          break;
        }
        case DirectiveKind::kVariable: {
          const PluralVariable* variable = nullptr;
          if (entry_ != nullptr) {
            auto found = entry_->variables.find(directive->name);
            if (found != entry_->variables.end()) variable = &found->second;
          }
          if (variable == nullptr || !expand(*variable, directive->position, depth)) {
            out_.append(written);
          }
          break;
        }
      }
    }
  }

  // Renders the form of `variable` for its argument in place; false when there is none or the
  // nesting or expansion limit is reached. The reference takes no argument of its own: the form
  // stands where it stood.
  bool expand(const PluralVariable& variable, std::optional<std::size_t> position, int depth) {
    if (depth >= kMaxVariableDepth || expansions_ >= kMaxVariableExpansions) return false;
    std::optional<std::size_t> chosen = variable.argument ? variable.argument : position;
    const std::size_t index = chosen ? *chosen - 1 : next_;
    const std::string* form = formFor(variable, integerArgument(argumentAt(index)));
    if (form == nullptr) return false;
    ++expansions_;
    render(*form, depth + 1);
    return true;
  }

  std::string take() { return out_.take(); }
  std::size_t work() const { return work_; }

 private:
  // `bytes` of format text read, from `at` on.
  void consume(std::size_t bytes, std::size_t& at) {
    work_ += bytes;
    at += bytes;
  }
  std::size_t takeIndex(const Directive& directive) {
    return directive.position ? *directive.position - 1 : next_++;
  }
  const PlistValue* argumentAt(std::size_t index) const {
    return index < args_.size() ? &args_[index] : nullptr;
  }
  const std::string* formFor(const PluralVariable& variable,
                             const std::optional<Integer>& value) const {
    std::string category = "other";
    if (value && value->magnitude == 0 && variable.forms.contains("zero")) {
      category = "zero";
    } else if (value) {
      const double magnitude = static_cast<double>(value->magnitude);
      category = plurals_.category(value->negative ? -magnitude : magnitude);
    }
    auto form = variable.forms.find(category);
    if (form == variable.forms.end()) form = variable.forms.find("other");
    return form == variable.forms.end() ? nullptr : &form->second;
  }

  const LocalizedFormat* entry_;
  const PluralRules& plurals_;
  std::span<const PlistValue> args_;
  CappedText out_;
  std::size_t next_ = 0;  // the argument the next directive without a position takes
  int expansions_ = 0;
  std::size_t work_ = 0;  // bytes of format text read, at most kMaxRenderWork
};

}  // namespace

std::string renderLocalizedFormat(const LocalizedFormat& entry, const PluralRules& plurals,
                                  std::span<const PlistValue> args, RenderWork* work) {
  Renderer renderer(&entry, plurals, args);
  if (!entry.wholeText || !renderer.expand(*entry.wholeText, std::nullopt, 0)) {
    renderer.render(entry.format, 0);
  }
  if (work != nullptr) work->formatBytes = renderer.work();
  return renderer.take();
}

std::string renderFormat(std::string_view format, std::span<const PlistValue> args,
                         RenderWork* work) {
  const PluralRules rootRules;
  Renderer renderer(nullptr, rootRules, args);
  renderer.render(format, 0);
  if (work != nullptr) work->formatBytes = renderer.work();
  return renderer.take();
}

std::string capRenderedText(std::string_view text) {
  CappedText capped;
  capped.append(text);
  return capped.take();
}

std::optional<std::size_t> firstIntegerArgument(std::string_view format) {
  std::size_t next = 0;
  for (std::size_t i = format.find('%'); i != std::string_view::npos; i = format.find('%', i)) {
    std::optional<Directive> directive = parseDirective(format.substr(i + 1));
    if (!directive) {
      ++i;
      continue;
    }
    i += 1 + directive->length;
    if (directive->kind == DirectiveKind::kInteger) {
      return directive->position ? *directive->position : next + 1;
    }
    if (directive->kind == DirectiveKind::kObject && !directive->position) ++next;
  }
  return std::nullopt;
}

}  // namespace quenlarch::notification_host
