// The choice among plans: a few parameter sets are planned and encoded, and
// the one that LZMA compresses best is kept, as long as its raw size stays
// within a fifth of the target.
#ifndef MENDRIX_GENERATOR_PLAN_CHOICE_H_
#define MENDRIX_GENERATOR_PLAN_CHOICE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "generator/delta_planner.h"
#include "generator/region_matcher.h"

namespace mendrix {

class TProgress;

// The size from which a target's parameter sets are planned on several
// threads: below it, the plans and encoders held at once would take more
// memory than the rest of the work.
inline constexpr std::int64_t PlanOnThreadsFrom = std::int64_t{16} << 20;

// The rest of the job for one variant, once its regions are found (the
// index can go by then): plans a few parameter sets and returns the one that
// compresses best, within a raw size of a fifth of the target. progress (may
// be null) is told how far the planning is. For a target of threadsFrom
// bytes or more the parameter sets are planned on up to jobs threads; the
// plan kept is the same for any number.
TDeltaPlan MakeDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
                     const std::vector<TAlignedRegion>& regions, TProgress* progress, int jobs = 1,
                     std::int64_t threadsFrom = PlanOnThreadsFrom);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_PLAN_CHOICE_H_
