// Hand-built binary property lists for tests: objects given as their encoded bytes (one-byte
// references, two-byte offsets), and two shapes that hostile files use.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quenlarch::testing {

// A binary plist of `objects`, each already encoded with one-byte references; the first is on top.
// `offsetSize` and `refSize` go into the trailer as given.
inline std::string binaryPlist(const std::vector<std::string>& objects, char offsetSize = 2,
                               char refSize = 1) {
  std::string out = "bplist00";
  std::string offsetTable;
  for (const std::string& object : objects) {
    offsetTable += static_cast<char>(out.size() >> 8);
    offsetTable += static_cast<char>(out.size() & 0xff);
    out += object;
  }
  const std::size_t offsetTableAt = out.size();
  out += offsetTable;
  out += std::string(6, '\0');
  out += offsetSize;
  out += refSize;
  for (std::uint64_t field :
       {std::uint64_t{objects.size()}, std::uint64_t{0}, std::uint64_t{offsetTableAt}}) {
    for (int i = 7; i >= 0; --i) out += static_cast<char>((field >> (8 * i)) & 0xff);
  }
  return out;
}

// `levels` arrays, each referring twice to the next, the last one to the integer 1: a few bytes per
// level for a tree of 2^(levels+1) - 1 nodes.
inline std::string doublingBinaryPlist(int levels) {
  std::vector<std::string> objects;
  for (int i = 1; i <= levels; ++i) {
    objects.push_back({'\xa2', static_cast<char>(i), static_cast<char>(i)});
  }
  objects.push_back({'\x10', '\x01'});
  return binaryPlist(objects);
}

// A binary plist of `depth` one-element arrays, each referring to the next (two-byte references).
inline std::string deepBinaryPlist(std::uint32_t depth) {
  auto bigEndian = [](std::string& out, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((v >> (8 * i)) & 0xff);
  };
  std::string out = "bplist00";
  std::vector<std::uint32_t> offsets;
  for (std::uint32_t i = 0; i < depth; ++i) {
    offsets.push_back(static_cast<std::uint32_t>(out.size()));
    if (i + 1 < depth) {
      out += '\xa1';  // array of one reference
      bigEndian(out, i + 1, 2);
    } else {
      out += '\xa0';  // empty array
    }
  }
  const std::uint64_t offsetTable = out.size();
  for (std::uint32_t offset : offsets) bigEndian(out, offset, 2);
  out += std::string(6, '\0');
  out += '\2';  // offset size
  out += '\2';  // reference size
  bigEndian(out, depth, 8);
  bigEndian(out, 0, 8);  // top object
  bigEndian(out, offsetTable, 8);
  return out;
}

}  // namespace quenlarch::testing
