// The classic text form of a .strings table, as source trees and most shipped apps hold it:
//
//   /* comment */  // comment to the end of the line
//   "key" = "value";
//   "key";                     (a key that is its own value)
//   bare_key = bare.value;     (unquoted tokens: letters, digits and _ $ + / : . -)
//
// optionally wrapped in one pair of braces. Quoted tokens take the escapes \n \t \r \a \b \f \v
// \" \' \\, octal \NNN, and \UXXXX (or \uXXXX, one to four hex digits) naming UTF-16 code units,
// so a surrogate pair written as two escapes is one character; any other escaped character
// stands for itself. The bytes are UTF-8, or UTF-16 when they start with a byte-order mark
// (FF FE little-endian, FE FF big-endian); a UTF-8 byte-order mark is skipped. Malformed UTF-8
// and unpaired surrogates become U+FFFD, so every key and value comes out as valid UTF-8.
//
// No packaged library reads this form short of an Objective-C runtime, hence this parser; the
// .strings files that are property lists go to libplist instead (see localized_strings.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/expected.h"

namespace quenlarch::notification_host {

struct StringsTextEntry {
  std::string key;
  std::string value;
  friend bool operator==(const StringsTextEntry&, const StringsTextEntry&) = default;
};

// The entries of `bytes` in file order (a key may come more than once), or why the text is not a
// strings table: "line N: reason", N counted from 1 where the fault was found.
Expected<std::vector<StringsTextEntry>> parseStringsText(std::string_view bytes);

}  // namespace quenlarch::notification_host
