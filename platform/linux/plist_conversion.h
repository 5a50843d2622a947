// Conversion between libplist's trees and PlistValue, with the repairs libplist 2.2 needs (see
// plist_file.h for what it can and cannot carry). Both directions recurse once per nesting level
// and refuse trees deeper than kMaxPlistNestingDepth (plist_file.h).
#pragma once

#include <plist/plist.h>

#include <memory>
#include <optional>

#include "platform/linux/plist_file.h"
#include "platform/plist_value.h"

namespace quenlarch {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// For the text libplist's XML writer hands back.
struct XmlFree {
  void operator()(char* xml) const { plist_to_xml_free(xml); }
};

// The value of a libplist tree; none for what PlistValue cannot hold (UIDs, keys with a NUL, dates
// libplist cannot represent) or a tree nested too deep.
std::optional<PlistValue> plistValueFromNode(plist_t node);

// A libplist tree for `value`; null when it cannot be written (non-string or NUL-holding keys,
// strings with a NUL, infinities, PlistNull, unrepresentable dates, nesting too deep).
PlistPtr plistNodeFromValue(const PlistValue& value);

}  // namespace quenlarch
