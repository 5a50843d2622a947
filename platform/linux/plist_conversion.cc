// libplist tree <-> PlistValue. libplist 2.2 keeps some facts (an integer's sign, a key's full
// bytes) only where its XML writer looks, so those are recovered from the XML it would write.
#include "platform/linux/plist_conversion.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quenlarch {
namespace {

struct CFree {
  void operator()(void* p) const { std::free(p); }
};

constexpr std::uint64_t kInt64Max =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// ---- libplist tree -> PlistValue

// libplist 2.2 stores every integer as a uint64 and keeps "this was negative" in a private field
// that only its serialisers look at. For values above INT64_MAX (the only ambiguous ones) we ask
// its XML writer how it would spell the node.
bool integerNodeIsNegative(plist_t node) {
  PlistPtr copy(plist_copy(node));
  if (copy == nullptr) return false;
  char* raw = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(copy.get(), &raw, &length);
  std::unique_ptr<char, XmlFree> xml(raw);
  if (xml == nullptr) return false;
  return std::string_view(xml.get(), length).find("<integer>-") != std::string_view::npos;
}

// The text of a key node. libplist 2.2 hands keys out only as C strings and asserts that the
// stored length matches, so a key holding a NUL character (which a binary plist can encode, XML
// cannot) would abort the process. Its XML writer copies every byte of the key, though; such a key
// is found there first and refused, as NUL characters are on writing. (The node itself is written,
// not a copy: plist_copy duplicates a key only up to its first NUL but keeps the full length.)
std::optional<std::string> keyText(plist_t keyNode) {
  if (keyNode == nullptr || plist_get_node_type(keyNode) != PLIST_KEY) return std::nullopt;
  char* rawXml = nullptr;
  std::uint32_t length = 0;
  plist_to_xml(keyNode, &rawXml, &length);
  std::unique_ptr<char, XmlFree> xml(rawXml);
  if (xml == nullptr || std::string_view(xml.get(), length).find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  char* raw = nullptr;
  plist_get_key_val(keyNode, &raw);
  std::unique_ptr<char, CFree> key(raw);
  if (key == nullptr) return std::nullopt;
  return std::string(key.get());
}

std::optional<PlistValue> fromPlist(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxPlistNestingDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return PlistValue(b != 0);
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      if (u > kInt64Max && integerNodeIsNegative(node)) {
        return PlistValue(static_cast<std::int64_t>(u));  // two's complement back to negative
      }
      return PlistValue(u);
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return PlistValue(d);
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      if (s == nullptr) return PlistValue(std::string());
      return PlistValue(std::string(s, static_cast<std::size_t>(length)));
    }
    case PLIST_KEY: {  // only expected as dictionary keys, but harmless as a string anywhere
      std::optional<std::string> key = keyText(node);
      if (!key) return std::nullopt;
      return PlistValue(std::move(*key));
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      PlistData data;
      if (bytes != nullptr) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
        data.bytes.assign(begin, begin + length);
      }
      return PlistValue(std::move(data));
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0;
      std::int32_t micros = 0;
      plist_get_date_val(node, &seconds, &micros);
      // libplist converts its stored double to int32 seconds without a range check; a date beyond
      // the int32 range comes out as one of the extremes, which we therefore refuse.
      if (seconds == std::numeric_limits<std::int32_t>::min() ||
          seconds == std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
      }
      // The seconds are truncated toward zero and the microseconds are a magnitude, so before the
      // epoch the fraction counts backwards. (Within the second before it the sign is lost.)
      const double fraction = micros / 1e6;
      return PlistValue(PlistDate{seconds < 0 ? seconds - fraction : seconds + fraction});
    }
    case PLIST_ARRAY: {
      const std::uint32_t size = plist_array_get_size(node);
      PlistValue::Array array;
      array.reserve(size);
      for (std::uint32_t i = 0; i < size; ++i) {
        std::optional<PlistValue> item = fromPlist(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        array.push_back(std::move(*item));
      }
      return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
      plist_dict_iter rawIter = nullptr;
      plist_dict_new_iter(node, &rawIter);
      std::unique_ptr<void, CFree> iter(rawIter);
      if (iter == nullptr) return std::nullopt;
      PlistValue::Dictionary dict;
      for (;;) {
        plist_t item = nullptr;
        plist_dict_next_item(node, iter.get(), nullptr, &item);  // the key comes from keyText
        if (item == nullptr) break;
        std::optional<std::string> key = keyText(plist_dict_item_get_key(item));
        if (!key) return std::nullopt;
        std::optional<PlistValue> value = fromPlist(item, depth + 1);
        if (!value) return std::nullopt;
        dict.push_back(PlistEntry{PlistValue(std::move(*key)), std::move(*value)});
      }
      return PlistValue(std::move(dict));
    }
    case PLIST_UID:  // keyed-archive references: no PlistValue form
    case PLIST_NONE:
      break;
  }
  return std::nullopt;
}

// ---- PlistValue -> libplist tree

// plist_new_uint marks its value as signed, so a value above INT64_MAX would be written as a
// negative number. libplist's XML reader is the only public way to get a node it treats as
// unsigned.
PlistPtr unsignedIntegerNode(std::uint64_t u) {
  const std::string xml = "<plist><integer>" + std::to_string(u) + "</integer></plist>";
  plist_t raw = nullptr;
  plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &raw);
  PlistPtr node(raw);
  if (node == nullptr || plist_get_node_type(node.get()) != PLIST_UINT) return nullptr;
  std::uint64_t check = 0;
  plist_get_uint_val(node.get(), &check);
  return check == u ? std::move(node) : nullptr;
}

PlistPtr toPlist(const PlistValue& value, int depth);

// Builds the libplist node for one alternative of PlistValue; null when it cannot be written.
class NodeBuilder {
 public:
  explicit NodeBuilder(int depth) : depth_(depth) {}

  PlistPtr operator()(const std::string& s) const {
    if (s.find('\0') != std::string::npos) return nullptr;
    return PlistPtr(plist_new_string(s.c_str()));
  }
  PlistPtr operator()(std::int64_t i) const {
    return PlistPtr(plist_new_uint(static_cast<std::uint64_t>(i)));
  }
  PlistPtr operator()(std::uint64_t u) const {
    if (u <= kInt64Max) return PlistPtr(plist_new_uint(u));
    return unsignedIntegerNode(u);
  }
  PlistPtr operator()(double d) const {
    if (std::isinf(d)) return nullptr;
    return PlistPtr(plist_new_real(d));
  }
  PlistPtr operator()(bool b) const { return PlistPtr(plist_new_bool(b ? 1 : 0)); }
  PlistPtr operator()(const PlistNull&) const { return nullptr; }  // no plist form
  PlistPtr operator()(const PlistData& data) const {
    return PlistPtr(plist_new_data(reinterpret_cast<const char*>(data.bytes.data()),
                                   static_cast<std::uint64_t>(data.bytes.size())));
  }
  PlistPtr operator()(const PlistDate& date) const {
    const double t = date.secondsSinceReferenceDate;
    if (!std::isfinite(t)) return nullptr;
    double whole = std::floor(t);
    long long micros = std::llround((t - whole) * 1e6);
    if (micros == 1000000) {
      whole += 1;
      micros = 0;
    }
    // The int32 extremes are excluded as well: reading takes them for libplist's out-of-range
    // result.
    if (whole <= std::numeric_limits<std::int32_t>::min() ||
        whole >= std::numeric_limits<std::int32_t>::max()) {
      return nullptr;
    }
    return PlistPtr(
        plist_new_date(static_cast<std::int32_t>(whole), static_cast<std::int32_t>(micros)));
  }
  PlistPtr operator()(const PlistValue::Array& array) const {
    PlistPtr node(plist_new_array());
    if (node == nullptr) return nullptr;
    for (const PlistValue& element : array) {
      PlistPtr item = toPlist(element, depth_ + 1);
      if (item == nullptr) return nullptr;
      plist_array_append_item(node.get(), item.release());
    }
    return node;
  }
  PlistPtr operator()(const PlistValue::Dictionary& dict) const {
    PlistPtr node(plist_new_dict());
    if (node == nullptr) return nullptr;
    for (const PlistEntry& entry : dict) {
      const std::string* key = entry.key.asString();
      if (key == nullptr || key->find('\0') != std::string::npos) return nullptr;
      // With duplicate keys the first entry wins, as in PlistValue::find.
      if (plist_dict_get_item(node.get(), key->c_str()) != nullptr) continue;
      PlistPtr item = toPlist(entry.value, depth_ + 1);
      if (item == nullptr) return nullptr;
      plist_dict_set_item(node.get(), key->c_str(), item.release());
    }
    return node;
  }

 private:
  int depth_;
};

PlistPtr toPlist(const PlistValue& value, int depth) {
  if (depth > kMaxPlistNestingDepth) return nullptr;
  return std::visit(NodeBuilder(depth), value.storage());
}

}  // namespace

std::optional<PlistValue> plistValueFromNode(plist_t node) { return fromPlist(node, 0); }

PlistPtr plistNodeFromValue(const PlistValue& value) { return toPlist(value, 0); }

}  // namespace quenlarch
