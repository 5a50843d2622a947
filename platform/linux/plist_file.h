// Property-list files on disk: reading XML or binary plists and writing XML ones, through libplist.
// The pieces live apart: the reference walk (binary_plist_walk.h), the tree conversion
// (plist_conversion.h), the big-stack thread (big_stack.h) and the file plumbing (file_io.h).
//
// What libplist 2.2 (Debian 12) can and cannot carry, and what we do about it:
// - Integers: libplist has one unsigned 64-bit node type and remembers only internally whether a
//   value was negative. Reading recovers that (from libplist's own XML rendering of the node), so
//   <integer>-5</integer> reads as int64 -5 and <integer>18446744073709551611</integer> as that
//   uint64. Writing produces the same two forms, so every int64 and uint64 round-trips.
// - Dates: libplist hands dates over as whole int32 seconds plus microseconds since 2001-01-01, so
//   only dates from 1932-12-13 to 2069-01-19 are representable; a date outside that range makes a
//   document unreadable (none) or unwritable (none/false). XML dates keep whole seconds only
//   (libplist drops the fraction, truncating toward 2001); binary plists keep microseconds.
// - Reals: infinities are refused on writing, because libplist 2.2 writes "+infinity" but reads it
//   back as 0. NaN round-trips. -0.0 is written as 0.0.
// - Strings cannot hold NUL characters (libplist strings are C strings): refused on writing. A
//   string value with one reads fine; a dictionary key with one (binary plists can encode it)
//   makes a document unreadable, because libplist 2.2 aborts when asked for such a key.
// - UIDs (keyed-archive references in binary plists) have no PlistValue form: refused on reading.
// - Binary plists refer to their objects by index, and libplist 2.2 copies an object for every
//   reference to it, so a small file can stand for an enormous tree. A binary plist whose tree
//   would exceed kMaxBinaryPlistNodes nodes, or whose references loop, is refused before libplist
//   reads it.
// - Dictionaries with a key that is not a string cannot be written; with duplicate string keys the
//   first entry is written, matching PlistValue::find.
// - libplist's XML reader is lenient (malformed numbers read as 0, trailing text is ignored); we
//   take what it gives rather than second-guess it.
// Documents nested deeper than kMaxPlistNestingDepth are refused both ways.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/linux/expected.h"
#include "platform/plist_value.h"

namespace quenlarch {

// Larger inputs are refused: bundle plists are a few kilobytes.
inline constexpr std::size_t kMaxPlistBytes = std::size_t{1} << 20;
// Arrays and dictionaries nested deeper than this are refused; no real property list comes close.
inline constexpr int kMaxPlistNestingDepth = 512;
// Binary plists have a lower cap: libplist 2.2's binary reader takes time quadratic in the nesting
// depth (a hostile 1 MiB file nested ~140,000 levels deep takes half a minute); at 64 KiB the worst
// case is a fraction of a second.
inline constexpr std::size_t kMaxBinaryPlistBytes = std::size_t{64} << 10;
// Nodes (values and dictionary keys) a binary plist's tree may have once every reference is a
// copy. Twice what a binary plist within kMaxBinaryPlistBytes can hold when it shares no arrays or
// dictionaries, so only shared containers can exceed it.
inline constexpr std::size_t kMaxBinaryPlistNodes = std::size_t{1} << 17;

// Parses an XML or binary property list. None when it is not one, or is too large or too deep.
// Safe to call on a thread with a small stack: libplist runs on a thread of its own.
std::optional<PlistValue> plistFromBytes(std::span<const std::uint8_t> bytes);

// Reads a property-list file, or says why it cannot: "cannot open: No such file or directory",
// "not a regular file", "larger than N bytes", "not a property list" (which covers documents too
// deep or, for binary ones, too large or too shared). Without the path; callers add it.
Expected<PlistValue> loadPlistFile(const std::string& path);
// The same for callers that only need to know whether there is a document.
inline std::optional<PlistValue> readPlistFile(const std::string& path) {
  Expected<PlistValue> loaded = loadPlistFile(path);
  if (!loaded) return std::nullopt;
  return std::move(*loaded);
}

// The XML form of `value`; none when it cannot be written (see above).
std::optional<std::string> plistToXml(const PlistValue& value);

// Writes `value` as an XML property list with the durable atomic write of file_io.h: readers see
// the old file or the new one, never a partial one, and the new one survives a crash once this
// returns. The file gets exactly `mode`. On failure (the value cannot be written as a property
// list, or the file cannot be) the old file, if any, is left as it was; the reason comes without
// the path.
Expected<void> writeXmlPlistFile(const std::string& path, const PlistValue& value,
                                 mode_t mode = 0644);

}  // namespace quenlarch
