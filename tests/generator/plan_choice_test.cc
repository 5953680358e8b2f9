// The delta kept for a variant: it rebuilds the target and stays small.
#include "generator/plan_choice.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "generator/delta_pairs.h"
#include "generator/source_index.h"

namespace mendrix::test {
namespace {

TEST(MakeDelta, RebuildsTargetAndStaysSmall) {
  struct TLimit {
    const char* Name;
    std::size_t MostBytes;  // what a sound delta of the pair needs at most
  };
  const TLimit limits[] = {
      {"identical", 16},
      {"sparse changed bytes", 6000},
      {"last bytes changed", 32},
      {"blocks moved and swapped", 64},
      {"insertions and deletions", 800},
  };
  for (const TPair& pair : Pairs()) {
    SCOPED_TRACE(pair.Name);
    std::vector<TAlignedRegion> regions;
    {
      const TSourceIndex index(pair.Source, nullptr);
      regions = FindRegions(index, pair.Source, pair.Target, nullptr);
    }
    const TDeltaPlan plan = MakeDelta(pair.Source, pair.Target, regions, nullptr);
    const TDeltaParams& params = plan.Params;
    const TDeltaStreams& streams = plan.Streams;
    TBytes rebuilt;
    std::string why;
    ASSERT_TRUE(Decode(pair.Source, params, streams, static_cast<std::int64_t>(pair.Target.size()),
                       rebuilt, why))
        << why;
    EXPECT_EQ(rebuilt, pair.Target);
    std::size_t written = 0;
    for (const auto& stream : streams) written += stream.size();
    for (const TLimit& limit : limits) {
      if (std::string(limit.Name) == pair.Name) {
        EXPECT_LE(written, limit.MostBytes);
      }
    }
  }
}

// The parameter sets planned on threads finish in any order; the plan kept
// must be the one planning them in turn keeps.
TEST(MakeDelta, SamePlanOnAnyNumberOfThreads) {
  for (const TPair& pair : Pairs()) {
    SCOPED_TRACE(pair.Name);
    std::vector<TAlignedRegion> regions;
    {
      const TSourceIndex index(pair.Source, nullptr);
      regions = FindRegions(index, pair.Source, pair.Target, nullptr);
    }
    const TDeltaPlan alone = MakeDelta(pair.Source, pair.Target, regions, nullptr, 1);
    for (const int jobs : {2, 3, 5}) {
      const TDeltaPlan threaded = MakeDelta(pair.Source, pair.Target, regions, nullptr, jobs, 0);
      EXPECT_EQ(threaded.Params.GroupLength, alone.Params.GroupLength) << jobs;
      EXPECT_EQ(threaded.Params.BlockLength, alone.Params.BlockLength) << jobs;
      EXPECT_EQ(threaded.Params.VariantFlags, alone.Params.VariantFlags) << jobs;
      EXPECT_EQ(threaded.Streams, alone.Streams) << jobs;
    }
  }
}

}  // namespace
}  // namespace mendrix::test
