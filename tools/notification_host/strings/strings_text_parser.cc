// The text-form parser. The text is decoded to UTF-16 first (ICU's UnicodeString), so escapes that
// name UTF-16 code units pair up by themselves, and each token is turned back into UTF-8 whole.
#include "tools/notification_host/strings/strings_text_parser.h"

#include <unicode/unistr.h>

#include <limits>
#include <optional>

namespace quenlarch::notification_host {
namespace {

// `bytes` as UTF-16 after its byte-order mark, if any. Byte order is the mark's: FF FE is
// little-endian (low byte first), FE FF big-endian.
Expected<icu::UnicodeString> decodeText(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max() / 2)) {
    return unexpected("too large");
  }
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 &&
      ((byteAt(0) == 0xFF && byteAt(1) == 0xFE) || (byteAt(0) == 0xFE && byteAt(1) == 0xFF))) {
    if (bytes.size() % 2 != 0) return unexpected("UTF-16 text with an odd number of bytes");
    const bool littleEndian = byteAt(0) == 0xFF;
    icu::UnicodeString text;
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
      const unsigned first = byteAt(i);
      const unsigned second = byteAt(i + 1);
      text.append(
          static_cast<char16_t>(littleEndian ? (second << 8) | first : (first << 8) | second));
    }
    return text;
  }
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
}

bool isBareTokenCharacter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
         c == u'_' || c == u'$' || c == u'+' || c == u'/' || c == u':' || c == u'.' || c == u'-';
}

int hexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

class TextParser {
 public:
  explicit TextParser(const icu::UnicodeString& text) : text_(text) {}

  Expected<std::vector<StringsTextEntry>> parse() {
    std::vector<StringsTextEntry> entries;
    if (!skipSpace()) return failure();
    const bool braced = peek() == u'{';
    if (braced) advance();
    while (true) {
      if (!skipSpace()) return failure();
      if (atEnd()) {
        if (braced) return fail("missing '}' at the end");
        return entries;
      }
      if (braced && peek() == u'}') {
        advance();
        if (!skipSpace()) return failure();
        if (!atEnd()) return fail("text after the closing '}'");
        return entries;
      }
      // A missing ';' or '=' is reported on the line of the token it should follow.
      std::optional<std::string> key = token();
      if (!key) return error_ ? failure() : fail("expected a key");
      const std::size_t keyLine = line_;
      if (!skipSpace()) return failure();
      std::optional<std::string> value;
      if (peek() == u'=') {
        advance();
        if (!skipSpace()) return failure();
        value = token();
        if (!value) return error_ ? failure() : fail("expected a value after '='");
        const std::size_t valueLine = line_;
        if (!skipSpace()) return failure();
        if (peek() != u';') return failAt(valueLine, "expected ';' after the value");
      } else if (peek() == u';') {
        value = *key;
      } else {
        return failAt(keyLine, "expected '=' or ';' after the key");
      }
      advance();  // the ';'
      entries.push_back({std::move(*key), std::move(*value)});
    }
  }

 private:
  bool atEnd() const { return position_ >= text_.length(); }
  char16_t peek(int32_t ahead = 0) const {
    return position_ + ahead < text_.length() ? text_.charAt(position_ + ahead) : u'\0';
  }
  char16_t advance() {
    const char16_t c = text_.charAt(position_++);
    if (c == u'\n') ++line_;
    return c;
  }

  Unexpected<std::string> fail(const std::string& reason) { return failAt(line_, reason); }
  Unexpected<std::string> failAt(std::size_t line, const std::string& reason) {
    error_ = "line " + std::to_string(line) + ": " + reason;
    return unexpected(*error_);
  }
  Unexpected<std::string> failure() const { return unexpected(*error_); }

  // Skips white space and comments; false (with error_ set) at an unterminated comment.
  bool skipSpace() {
    while (!atEnd()) {
      const char16_t c = peek();
      if (c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f' || c == u'\v') {
        advance();
      } else if (c == u'/' && peek(1) == u'*') {
        const std::size_t startLine = line_;
        advance();
        advance();
        while (!atEnd() && !(peek() == u'*' && peek(1) == u'/')) advance();
        if (atEnd()) {
          failAt(startLine, "unterminated comment");
          return false;
        }
        advance();
        advance();
      } else if (c == u'/' && peek(1) == u'/') {
        while (!atEnd() && peek() != u'\n') advance();
      } else {
        return true;
      }
    }
    return true;
  }

  // A quoted or bare token as UTF-8; none when there is none here (error_ set when a quoted one
  // is malformed).
  std::optional<std::string> token() {
    icu::UnicodeString value;
    if (peek() == u'"') {
      const std::size_t startLine = line_;
      advance();
      while (true) {
        if (atEnd()) {
          failAt(startLine, "unterminated string");
          return std::nullopt;
        }
        const char16_t c = advance();
        if (c == u'"') break;
        if (c != u'\\') {
          value.append(c);
        } else if (atEnd()) {
          failAt(startLine, "unterminated string");
          return std::nullopt;
        } else if (!escape(value)) {
          return std::nullopt;
        }
      }
    } else {
      while (!atEnd() && isBareTokenCharacter(peek())) value.append(advance());
      if (value.isEmpty()) return std::nullopt;
    }
    std::string utf8;
    value.toUTF8String(utf8);
    return utf8;
  }

  // Appends the character escaped after a backslash; false (with error_ set) when malformed.
  bool escape(icu::UnicodeString& value) {
    const char16_t c = advance();
    switch (c) {
      case u'n':
        value.append(u'\n');
        return true;
      case u't':
        value.append(u'\t');
        return true;
      case u'r':
        value.append(u'\r');
        return true;
      case u'a':
        value.append(u'\a');
        return true;
      case u'b':
        value.append(u'\b');
        return true;
      case u'f':
        value.append(u'\f');
        return true;
      case u'v':
        value.append(u'\v');
        return true;
      case u'U':
      case u'u': {
        unsigned unit = 0;
        int digits = 0;
        for (; digits < 4 && hexValue(peek()) >= 0; ++digits) {
          unit = unit * 16 + static_cast<unsigned>(hexValue(advance()));
        }
        if (digits == 0) {
          fail("expected hex digits after \\U");
          return false;
        }
        value.append(static_cast<char16_t>(unit));
        return true;
      }
      default:
        break;
    }
    if (c >= u'0' && c <= u'7') {
      unsigned unit = static_cast<unsigned>(c - u'0');
      for (int digits = 1; digits < 3 && peek() >= u'0' && peek() <= u'7'; ++digits) {
        unit = unit * 8 + static_cast<unsigned>(advance() - u'0');
      }
      value.append(static_cast<char16_t>(unit));
      return true;
    }
    value.append(c);
    return true;
  }

  const icu::UnicodeString& text_;
  int32_t position_ = 0;
  std::size_t line_ = 1;
  std::optional<std::string> error_;
};

}  // namespace

Expected<std::vector<StringsTextEntry>> parseStringsText(std::string_view bytes) {
  Expected<icu::UnicodeString> text = decodeText(bytes);
  if (!text) return unexpected(text.error());
  return TextParser(*text).parse();
}

}  // namespace quenlarch::notification_host
