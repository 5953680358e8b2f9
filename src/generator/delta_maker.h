// The delta of one variant: the operations that turn a source version of a
// file into the next version, and the coding parameters that make them
// smallest.
//
// The matcher indexes the source with a suffix array and walks the target,
// keeping one alignment (source position minus target position) for as long
// as it matches about as well as any fresh match would. An aligned stretch
// may hold mismatches; its exact runs become copies, and the bytes after a
// copy become add bytes (differences to the old bytes right after the run)
// or inserts (added to the old bytes, or literal where no old bytes fit).
//
// The planner turns the copies into operations for a given GroupLength (how
// many copies share one count byte, which fixes their number of add bytes)
// and BlockLength, and counts the stream bytes exactly. A few parameter sets
// are planned and encoded, and the one that LZMA compresses best is kept, as
// long as its raw size stays within a fifth of the target.
#ifndef MENDRIX_GENERATOR_DELTA_MAKER_H_
#define MENDRIX_GENERATOR_DELTA_MAKER_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "writer/delta_encoder.h"

namespace mendrix {

class TProgress;

// Target bytes [TargetStart, TargetStart + Length) lined up with the source
// bytes from SourceStart; most of them match, some may not.
struct TAlignedRegion {
  std::int32_t TargetStart = 0;
  std::int32_t SourceStart = 0;
  std::int32_t Length = 0;
};

// One exact copy: Length bytes of the target at TargetStart equal the source
// bytes at SourceStart. RegionEnd is where the aligned region it belongs to
// ends in the target: bytes after the copy up to there are best stored as
// differences to the old bytes that follow its run.
struct TCopyUnit {
  std::int32_t TargetStart = 0;
  std::int32_t SourceStart = 0;
  std::int32_t Length = 0;
  std::int32_t RegionEnd = 0;
};

// What a plan costs, per stream.
struct TPlanCost {
  std::int64_t NumberBytes = 0;
  std::int64_t FlagBits = 0;
  std::int64_t SignBits = 0;
  std::int64_t InsertBytes = 0;
  std::int64_t AddBytes = 0;
  // Bytes of the five streams.
  std::int64_t StreamBytes() const;
};

struct TDeltaPlan {
  TDeltaParams Params;
  TPlanCost Cost;
  TDeltaStreams Streams;      // only when asked for
  std::vector<TDeltaOp> Ops;  // only when asked for
};

// The index of a source: a suffix array of every SampleStep-th position,
// built in pieces so that building it needs about the source size besides
// the source. The source must outlive it. progress (may be null) is told
// how far the building is.
class TSourceIndex {
 public:
  static constexpr std::int32_t SampleStep = 4;

  TSourceIndex(std::span<const std::uint8_t> source, TProgress* progress);
  // False when the suffix sorter failed (it runs out of memory); the index
  // is then empty and finds nothing, and SorterResult holds its code.
  bool Built() const { return SorterResult_ == 0; }
  int SorterResult() const { return SorterResult_; }
  // Longest match of target[from..] with a source position of the index
  // (at least two bytes, else 0); position receives where it starts.
  std::int32_t Longest(std::span<const std::uint8_t> target, std::int32_t from,
                       std::int32_t& position) const;

 private:
  std::span<const std::uint8_t> Source_;
  std::vector<std::int32_t> Suffixes_;     // source positions, sorted
  std::vector<std::int32_t> BucketStart_;  // per two-byte prefix
  std::vector<std::int32_t> BucketCount_;
  int SorterResult_ = 0;
};

// Aligned regions of target against the indexed source, in target order, not
// overlapping. progress (may be null) is told how far the search is.
std::vector<TAlignedRegion> FindRegions(const TSourceIndex& index,
                                        std::span<const std::uint8_t> source,
                                        std::span<const std::uint8_t> target,
                                        TProgress* progress);

// The exact runs of at least minRun bytes inside the regions.
std::vector<TCopyUnit> ExactRuns(std::span<const std::uint8_t> source,
                                 std::span<const std::uint8_t> target,
                                 const std::vector<TAlignedRegion>& regions, std::int32_t minRun);

// Plans the operations that rebuild target from source with the copies
// given, for one GroupLength (0: one count byte for the whole variant) and
// BlockLength, and counts their stream bytes. With encode the streams are
// written as well, and with keepOps the operations are kept. A
// fixedAddCount of 0 or more is every count byte's value; otherwise each
// group's is chosen for the fewest bytes.
TDeltaPlan PlanDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
                     const std::vector<TCopyUnit>& copies, std::uint16_t groupLength,
                     std::uint8_t blockLength, bool encode, bool keepOps,
                     std::int32_t fixedAddCount = -1);

// The rest of the job for one variant, once its regions are found (the
// index can go by then): plans a few parameter sets and keeps the one that
// compresses best, within a raw size of a fifth of the target.
void MakeDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
               const std::vector<TAlignedRegion>& regions, TProgress* progress,
               TDeltaParams& params, TDeltaStreams& streams);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_DELTA_MAKER_H_
