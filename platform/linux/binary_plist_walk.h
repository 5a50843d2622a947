// The tree a binary property list describes, measured before any parser builds it.
//
// A binary plist stores each object once and refers to it by index, so one object may be referred
// to any number of times; a parser that builds a separate copy of an object for every reference
// (as libplist 2.2 does) turns 40 arrays that each refer twice to the next, a few hundred bytes,
// into a tree of 2^40 nodes. This walk follows the references, each object once, to the node count
// and depth of that tree. Pure byte parsing, no allocation beyond one entry per object.
//
// Layout (all integers big-endian):
//   0              8 bytes   "bplist00" (not checked here)
//   ...                      objects; a marker byte each, high nibble the type, low nibble a size
//                            (0xF: the size follows as an integer object, marker 0x1N, 2^N bytes)
//   tableOffset    n × O     offset table: object i starts at the O-byte offset in entry i
//   size - 32      6 bytes   unused
//   size - 26      1 byte    O, the offset size
//   size - 25      1 byte    R, the reference size
//   size - 24      8 bytes   n, the object count
//   size - 16      8 bytes   the top object's index
//   size - 8       8 bytes   tableOffset
// Arrays (0xA) and sets (0xC) hold `size` R-byte references; dictionaries (0xD) `size` key
// references followed by `size` value references. Other objects refer to nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quenlarch {

struct BinaryPlistLimits {
  std::size_t maxNodes = 0;  // values and dictionary keys, every reference a copy
  std::size_t maxDepth = 0;  // levels of containers below the top object
};

struct BinaryPlistShape {
  std::size_t nodes = 0;
  std::size_t depth = 0;  // 0 for a scalar or an empty container on top
  friend bool operator==(const BinaryPlistShape&, const BinaryPlistShape&) = default;
};

// The shape of the tree `bytes` describe; none when it exceeds `limits`, when references loop or
// point past the last object, when an object or reference lies outside the object area, or when
// an offset or reference size is not 1, 2, 4 or 8 (no writer uses others). As strict as libplist
// about where objects may lie. Recursion is bounded by limits.maxDepth.
std::optional<BinaryPlistShape> binaryPlistShape(std::span<const std::uint8_t> bytes,
                                                 const BinaryPlistLimits& limits);

}  // namespace quenlarch
