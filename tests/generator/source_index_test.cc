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

// A source large enough to be sorted in pieces and merged, with repeats
// that make the merge compare past the first bytes: a block copied into
// several pieces, and runs of zeros of many lengths spread over the pieces
// (their suffixes agree on their first bytes and interleave across pieces
// only by how many zeros follow). A probe taken from the source at an
// indexed position must be found whole, by an index built on one thread or
// on three, at the same place.
TEST(TSourceIndex, PiecesMergeIntoOneOrderForAnyThreadCount) {
  TBytes source = RandomBytes(3 << 20, 6);
  const TBytes block = RandomBytes(70000, 7);
  for (std::size_t at : {std::size_t{100000}, std::size_t{1200000}, std::size_t{2900000}}) {
    std::copy(block.begin(), block.end(), source.begin() + static_cast<std::ptrdiff_t>(at));
  }
  std::vector<std::size_t> probes;
  for (std::size_t run = 0; run < 24; ++run) {
    const std::size_t end = 200000 + run * 120000;  // every piece has a few
    const std::size_t zeros = 1000 + (run * 7919) % 5000;
    std::fill(source.begin() + static_cast<std::ptrdiff_t>(end - zeros),
              source.begin() + static_cast<std::ptrdiff_t>(end), 0);
    for (std::size_t back : {std::size_t{12}, std::size_t{400}, zeros - zeros % 4}) {
      probes.push_back(end - back);
    }
  }
  for (std::size_t at = 4; at + 6000 < source.size(); at += std::size_t{4} * 9973) {
    probes.push_back(at);
  }
  const TSourceIndex one(source, nullptr, 1);
  const TSourceIndex three(source, nullptr, 3);
  ASSERT_TRUE(one.Built());
  for (std::size_t at : probes) {
    SCOPED_TRACE(at);
    ASSERT_EQ(at % TSourceIndex::SampleStep, 0U);
    const TBytes probe = Slice(source, at, 6000);
    std::int32_t position = -1;
    std::int32_t again = -1;
    ASSERT_EQ(one.Longest(probe, 0, position), 6000);
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), source.begin() + position));
    EXPECT_EQ(three.Longest(probe, 0, again), 6000);
    EXPECT_EQ(again, position);
  }
}

}  // namespace
}  // namespace mendrix::test
