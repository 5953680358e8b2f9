#include "generator/source_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "generator/delta_pairs.h"

namespace mendrix::test {
namespace {

TEST(TSourceIndex, FindsLongestMatchAtIndexedPositions) {
  const TBytes source = RandomBytes(100000, 5);
  const TSourceIndex index(source, nullptr);
  for (std::int32_t at : {0, 8, 4096, 99992}) {
    SCOPED_TRACE(at);
    const TBytes target = Slice(source, static_cast<std::size_t>(at), 8);
    std::int32_t position = -1;
    EXPECT_EQ(index.Longest(target, 0, position), 8);
    EXPECT_EQ(position, at);
  }
  // Absent from the source: no match of two bytes or more is claimed wrongly.
  const TBytes absent = {0x00, 0x01, 0x02, 0x03};
  std::int32_t position = -1;
  const std::int32_t length = index.Longest(absent, 0, position);
  if (length > 0) {
    ASSERT_GE(position, 0);
    EXPECT_TRUE(std::equal(absent.begin(), absent.begin() + length, source.begin() + position));
  }
}

// A source large enough to be sorted in pieces and merged, whose repeats
// (a block copied into several pieces, a long run of zeros across a piece's
// end) make the merge compare deep. Every indexed position must be found
// again with the whole probe matched, and any number of threads gives the
// same index.
TEST(TSourceIndex, PiecesMergeIntoOneOrderForAnyThreadCount) {
  const TBytes block = RandomBytes(70000, 7);
  TBytes source = RandomBytes(3 << 20, 6);
  for (std::size_t at : {std::size_t{100000}, std::size_t{1200000}, std::size_t{2900000}}) {
    std::copy(block.begin(), block.end(), source.begin() + static_cast<std::ptrdiff_t>(at));
  }
  std::fill(source.begin() + 350000, source.begin() + 500000, 0);
  const TSourceIndex one(source, nullptr, 1);
  const TSourceIndex three(source, nullptr, 3);
  ASSERT_TRUE(one.Built());
  const TBytes zeros(300, 0);
  for (std::size_t at = 4; at + 300 < source.size(); at += std::size_t{4} * 9973) {
    SCOPED_TRACE(at);
    const TBytes probe = Slice(source, at, 300);
    std::int32_t position = -1;
    std::int32_t again = -1;
    ASSERT_EQ(one.Longest(probe, 0, position), 300);
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), source.begin() + position));
    EXPECT_EQ(three.Longest(probe, 0, again), 300);
    EXPECT_EQ(again, position);
  }
  std::int32_t position = -1;
  std::int32_t again = -1;
  EXPECT_EQ(one.Longest(zeros, 0, position), 300);
  EXPECT_EQ(three.Longest(zeros, 0, again), 300);
  EXPECT_EQ(again, position);
}

}  // namespace
}  // namespace mendrix::test
