// Fuzzes the binary-plist reference walk, which reads untrusted bytes before any parser does. It
// must never crash or read outside the input, a shape it reports must respect the limits it was
// given, and the limits must be tight: the same document under limits one short of its shape is
// refused, and under roomier limits gives the same shape.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz/fuzz_check.h"
#include "platform/linux/binary_plist_walk.h"

namespace {

using quenlarch::fuzz::check;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quenlarch;
  const std::span<const std::uint8_t> bytes(data, size);
  const BinaryPlistLimits limits{4096, 64};
  const std::optional<BinaryPlistShape> shape = binaryPlistShape(bytes, limits);
  if (!shape) return 0;
  check(shape->nodes >= 1 && shape->nodes <= limits.maxNodes);
  check(shape->depth <= limits.maxDepth && shape->depth < shape->nodes);

  check(binaryPlistShape(bytes, {limits.maxNodes * 2, limits.maxDepth * 2}) == shape);
  check(binaryPlistShape(bytes, {shape->nodes, shape->depth}) == shape);
  if (shape->nodes > 1) check(!binaryPlistShape(bytes, {shape->nodes - 1, shape->depth}));
  if (shape->depth > 0) check(!binaryPlistShape(bytes, {shape->nodes, shape->depth - 1}));
  return 0;
}
