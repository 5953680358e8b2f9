// The planner's deltas, rebuilt by the tests' own decoder for every
// parameter set.
#include "generator/delta_planner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "generator/delta_pairs.h"
#include "generator/region_matcher.h"
#include "generator/source_index.h"

namespace mendrix::test {
namespace {

std::vector<TCopyUnit> CopiesFor(const TBytes& source, const TBytes& target, std::int32_t minRun) {
  const TSourceIndex index(source, nullptr);
  return ExactRuns(source, target, FindRegions(index, source, target, nullptr), minRun);
}

TEST(PlanDelta, RebuildsTargetForEveryParameterSet) {
  for (const TPair& pair : Pairs()) {
    SCOPED_TRACE(pair.Name);
    for (std::int32_t minRun : {1, 2, 8}) {
      const std::vector<TCopyUnit> copies = CopiesFor(pair.Source, pair.Target, minRun);
      // A fixed add count makes every copy carry that many add bytes, also
      // where the source or the target ends sooner.
      for (auto [group, addCount] : {std::pair<std::uint16_t, std::int32_t>{1, -1},
                                     {3, -1}, {64, -1}, {0, -1}, {0, 4}, {5, 9}}) {
        for (std::uint8_t block : {1, 16, 255}) {
          SCOPED_TRACE("minRun " + std::to_string(minRun) + " group " + std::to_string(group) +
                       " add count " + std::to_string(addCount) + " block " +
                       std::to_string(block));
          const TDeltaPlan plan =
              PlanDelta(pair.Source, pair.Target, copies, {group, block, addCount});
          TBytes rebuilt;
          std::string why;
          ASSERT_TRUE(Decode(pair.Source, plan.Params, plan.Streams,
                             static_cast<std::int64_t>(pair.Target.size()), rebuilt, why))
              << why;
          EXPECT_EQ(rebuilt, pair.Target);
          std::int64_t written = 0;
          for (const auto& stream : plan.Streams) written += static_cast<std::int64_t>(stream.size());
          EXPECT_EQ(written, plan.Cost.StreamBytes());
        }
      }
    }
  }
}

}  // namespace
}  // namespace mendrix::test
