// The planner: the operations that rebuild a target from a source with the
// copies the matcher found, for one GroupLength (how many copies share one
// count byte, which fixes their number of add bytes) and BlockLength, with
// the exact byte count of the streams they take.
#ifndef MENDRIX_GENERATOR_DELTA_PLANNER_H_
#define MENDRIX_GENERATOR_DELTA_PLANNER_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "generator/region_matcher.h"
#include "writer/delta_encoder.h"

namespace mendrix {

// What a plan's streams take: the number, insert and add streams in bytes,
// the flag and sign streams in bits.
struct TPlanCost {
  // Bytes of the five streams.
  std::int64_t StreamBytes() const;
  // Bits of the five streams, each bit stream counted to its last bit.
  std::int64_t Bits() const { return 8 * Bytes + FlagBits + SignBits; }

  std::int64_t Bytes = 0;
  std::int64_t FlagBits = 0;
  std::int64_t SignBits = 0;
};

// The parameters a plan is made for.
struct TPlanShape {
  std::uint16_t GroupLength = 0;  // 0: one count byte for the whole variant
  std::uint8_t BlockLength = 255;
  // Every count byte's value; -1: each group's is chosen for the fewest bytes.
  std::int32_t AddCount = -1;
};

struct TDeltaPlan {
  TDeltaParams Params;
  TPlanCost Cost;
  TDeltaStreams Streams;
  // Why the operations couldn't be written, when they couldn't (the streams
  // are then empty); empty otherwise.
  std::string Error;
};

// Plans the operations that rebuild target from source with the copies
// given, writes them into the plan's streams and counts their bytes.
TDeltaPlan PlanDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
                     const std::vector<TCopyUnit>& copies, const TPlanShape& shape);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_DELTA_PLANNER_H_
