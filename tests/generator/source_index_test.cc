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

}  // namespace
}  // namespace mendrix::test
