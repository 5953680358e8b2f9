// The matcher: which stretches of a target line up with the source.
//
// It walks the target with the source index, keeping one alignment (source
// position minus target position) for as long as it matches about as well
// as any fresh match would. An aligned stretch may hold mismatches; its
// exact runs become copies, and the bytes after a copy become add bytes
// (differences to the old bytes right after the run) or inserts (added to
// the old bytes, or literal where no old bytes fit).
#ifndef MENDRIX_GENERATOR_REGION_MATCHER_H_
#define MENDRIX_GENERATOR_REGION_MATCHER_H_

#include <cstdint>
#include <span>
#include <vector>

namespace mendrix {

class TProgress;
class TSourceIndex;

// Target bytes [TargetStart, TargetStart + Length) lined up with the source
// bytes from SourceStart; most of them match, some may not.
struct TAlignedRegion {
  std::int32_t TargetStart = 0;
  std::int32_t SourceStart = 0;
  std::int32_t Length = 0;
};

// The length of the target pieces that the search walks on several threads.
inline constexpr std::int64_t MatchPieceLength = std::int64_t{1} << 20;

// Aligned regions of target against the indexed source, in target order, not
// overlapping. progress (may be null) is told how far the search is. A
// target of two pieces of pieceLength bytes or more is searched on up to jobs
// threads; the regions are the same for any number of jobs and any piece
// length.
std::vector<TAlignedRegion> FindRegions(const TSourceIndex& index,
                                        std::span<const std::uint8_t> source,
                                        std::span<const std::uint8_t> target, TProgress* progress,
                                        int jobs = 1, std::int64_t pieceLength = MatchPieceLength);

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

// The exact runs of at least minRun bytes inside the regions.
std::vector<TCopyUnit> ExactRuns(std::span<const std::uint8_t> source,
                                 std::span<const std::uint8_t> target,
                                 const std::vector<TAlignedRegion>& regions, std::int32_t minRun);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_REGION_MATCHER_H_
