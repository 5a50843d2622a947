// The reference walk: one visit per object, heights and node counts memoised, loops refused.
#include "platform/linux/binary_plist_walk.h"

#include <algorithm>
#include <vector>

namespace quenlarch {
namespace {

class BinaryPlistWalk {
 public:
  BinaryPlistWalk(std::span<const std::uint8_t> bytes, const BinaryPlistLimits& limits)
      : bytes_(bytes), limits_(limits) {}

  std::optional<BinaryPlistShape> shape() {
    constexpr std::size_t kHeaderBytes = 8;    // "bplist00"
    constexpr std::size_t kTrailerBytes = 32;  // 6 unused, 2 sizes, 3 big-endian uint64s
    if (bytes_.size() < kHeaderBytes + kTrailerBytes) return std::nullopt;
    const std::size_t trailer = bytes_.size() - kTrailerBytes;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    if (!isIntegerSize(offsetSize_) || !isIntegerSize(refSize_)) return std::nullopt;
    const std::uint64_t objectCount = bigEndian(trailer + 8, 8);
    const std::uint64_t top = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);
    if (objectCount == 0 || top >= objectCount) return std::nullopt;
    if (tableOffset_ < kHeaderBytes || tableOffset_ >= trailer) return std::nullopt;
    if (objectCount > (trailer - tableOffset_) / offsetSize_) return std::nullopt;
    objects_.assign(static_cast<std::size_t>(objectCount), Object{});
    if (!visit(top, 0)) return std::nullopt;
    const Object& root = objects_[static_cast<std::size_t>(top)];
    return BinaryPlistShape{root.nodes, root.height};
  }

 private:
  enum class State : std::uint8_t { kUnseen, kOpen, kDone };
  struct Object {
    State state = State::kUnseen;
    std::size_t height = 0;  // levels below the object in the tree
    std::size_t nodes = 0;   // nodes of its subtree, the object itself included
  };

  static bool isIntegerSize(std::size_t size) {
    return size == 1 || size == 2 || size == 4 || size == 8;
  }
  // REQUIRES: at + size <= bytes_.size().
  std::uint64_t bigEndian(std::size_t at, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes_[at + i];
    return value;
  }

  // The objects that object `index` refers to (a dictionary's keys, then its values); empty for
  // scalars. False when the object or its references lie outside the object area.
  bool referencesOf(std::uint64_t index, std::vector<std::uint64_t>& out) const {
    const std::uint64_t offset =
        bigEndian(static_cast<std::size_t>(tableOffset_ + index * offsetSize_), offsetSize_);
    if (offset >= tableOffset_) return false;
    std::size_t at = static_cast<std::size_t>(offset);
    const std::uint8_t marker = bytes_[at++];
    const std::uint8_t type = marker >> 4;
    const bool dictionary = type == 0xD;
    out.clear();
    if (type != 0xA && type != 0xC && !dictionary) return true;  // arrays, sets, dictionaries
    std::uint64_t count = marker & 0x0F;
    if (count == 0x0F) {  // the count follows as an integer object
      if (at >= tableOffset_ || (bytes_[at] >> 4) != 0x1) return false;
      const std::size_t size = std::size_t{1} << (bytes_[at++] & 0x0F);
      if (size > 8 || size > tableOffset_ - at) return false;
      count = bigEndian(at, size);
      at += size;
    }
    const std::uint64_t room = (tableOffset_ - at) / refSize_;
    if (count > (dictionary ? room / 2 : room)) return false;
    if (dictionary) count *= 2;
    out.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t child = bigEndian(at + static_cast<std::size_t>(i) * refSize_, refSize_);
      if (child >= objects_.size()) return false;
      out.push_back(child);
    }
    return true;
  }

  // Follows object `index`, met at `depth` (the top object's is 0).
  bool visit(std::uint64_t index, std::size_t depth) {
    Object& object = objects_[static_cast<std::size_t>(index)];
    if (object.state == State::kOpen) return false;  // a reference loop
    if (object.state == State::kDone) return depth + object.height <= limits_.maxDepth;
    if (depth > limits_.maxDepth) return false;
    object.state = State::kOpen;
    std::vector<std::uint64_t> references;
    if (!referencesOf(index, references)) return false;
    std::size_t nodes = 1;
    std::size_t height = 0;
    for (std::uint64_t child : references) {
      if (!visit(child, depth + 1)) return false;
      const Object& seen = objects_[static_cast<std::size_t>(child)];
      nodes += seen.nodes;  // each at most maxNodes: no overflow
      if (nodes > limits_.maxNodes) return false;
      height = std::max(height, seen.height + 1);
    }
    objects_[static_cast<std::size_t>(index)] = Object{State::kDone, height, nodes};
    return true;
  }

  std::span<const std::uint8_t> bytes_;
  const BinaryPlistLimits limits_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::vector<Object> objects_;
};

}  // namespace

std::optional<BinaryPlistShape> binaryPlistShape(std::span<const std::uint8_t> bytes,
                                                 const BinaryPlistLimits& limits) {
  return BinaryPlistWalk(bytes, limits).shape();
}

}  // namespace quenlarch
