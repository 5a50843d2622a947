// The binary-plist reference walk on hand-built documents: the shape it measures, and every way a
// document is refused before a parser sees it.
#include "platform/linux/binary_plist_walk.h"

#include <gtest/gtest.h>

#include "tests/support/binary_plist_builder.h"

namespace quenlarch {
namespace {

using testing::binaryPlist;
using testing::deepBinaryPlist;
using testing::doublingBinaryPlist;

std::optional<BinaryPlistShape> shapeOf(const std::string& bytes, BinaryPlistLimits limits) {
  return binaryPlistShape(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), limits);
}

constexpr BinaryPlistLimits kRoomy{1 << 20, 512};

TEST(BinaryPlistWalkTest, MeasuresTheTreeEveryReferenceCopies) {
  const struct {
    const char* name;
    std::string bytes;
    BinaryPlistLimits limits;
    BinaryPlistShape shape;
  } cases[] = {
      {"scalar", binaryPlist({{'\x10', '\x01'}}), kRoomy, {1, 0}},
      {"empty array", binaryPlist({{'\xa0'}}), kRoomy, {1, 0}},
      {"one shared string under three keys",
       binaryPlist(
           {"\xd3\x01\x02\x03\x04\x04\x04", "\x51\x61", "\x51\x62", "\x51\x63", "\x51\x78"}),
       kRoomy,
       {7, 1}},
      {"doubling, 10 levels", doublingBinaryPlist(10), kRoomy, {2047, 10}},
      {"exactly at both limits", doublingBinaryPlist(3), {15, 3}, {15, 3}},
      {"count in a trailing integer",
       binaryPlist({"\xaf\x10\x02\x01\x01", {'\x09'}}),
       kRoomy,
       {3, 1}},
      {"deep chain", deepBinaryPlist(300), kRoomy, {300, 299}},
      {"four-byte offsets and references",
       binaryPlist({{'\x10', '\x01'}}, /*offsetSize=*/2, /*refSize=*/4),
       kRoomy,
       {1, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shapeOf(c.bytes, c.limits), c.shape) << c.name;
  }
}

TEST(BinaryPlistWalkTest, RefusesWhatCannotBeFollowedOrIsTooBig) {
  std::string tableOutside = binaryPlist({{'\x10', '\x01'}});
  tableOutside[tableOutside.size() - 1] = '\x7f';  // the offset table past the trailer
  std::string offsetIntoTable = binaryPlist({{'\xa1', '\x00'}});
  offsetIntoTable[offsetIntoTable.size() - 32 - 1] = '\x0a';  // object 0 "starts" in the table
  const struct {
    const char* name;
    std::string bytes;
    BinaryPlistLimits limits;
  } cases[] = {
      {"shorter than header and trailer", std::string("bplist00") + std::string(31, '\0'), kRoomy},
      {"array holding itself", binaryPlist({{'\xa1', '\0'}}), kRoomy},
      {"two arrays holding each other", binaryPlist({"\xa1\x01", {'\xa1', '\0'}}), kRoomy},
      {"reference past the last object", binaryPlist({"\xa1\x01"}), kRoomy},
      {"references past the object area", binaryPlist({"\xaf\x10\x7f"}), kRoomy},
      {"dictionary short of its values", binaryPlist({"\xd2\x01\x01"}), kRoomy},
      {"count integer of 2^15 bytes", binaryPlist({"\xaf\x1f\x01"}), kRoomy},
      {"reference size 3", binaryPlist({{'\x10', '\x01'}}, 2, 3), kRoomy},
      {"offset size 0", binaryPlist({{'\x10', '\x01'}}, 0, 1), kRoomy},
      {"offset table outside the file", tableOutside, kRoomy},
      {"object starting in the offset table", offsetIntoTable, kRoomy},
      {"one node too many", doublingBinaryPlist(3), {14, 3}},
      {"one level too deep", doublingBinaryPlist(3), {15, 2}},
      {"shared subtree reached too deep",
       binaryPlist({"\xa2\x02\x01", "\xa1\x02", "\xa1\x03", {'\xa0'}}),
       {100, 2}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(shapeOf(c.bytes, c.limits), std::nullopt) << c.name;
  }
}

}  // namespace
}  // namespace quenlarch
