// The index of a source version: where in it a stretch of the target is
// found. A suffix array of every SampleStep-th source position, with the
// suffixes that share their first two bytes found at once by a bucket table.
#ifndef MENDRIX_GENERATOR_SOURCE_INDEX_H_
#define MENDRIX_GENERATOR_SOURCE_INDEX_H_

#include <cstdint>
#include <span>
#include <vector>

namespace mendrix {

class TProgress;

class TSourceIndex {
 public:
  static constexpr std::int32_t SampleStep = 4;

  // Indexes source, building the suffix array in pieces so that building it
  // needs about twice the source size besides the source, on up to jobs
  // threads; the index is the same for any number. The source must outlive
  // the index. progress (may be null) is told how far the building is.
  TSourceIndex(std::span<const std::uint8_t> source, TProgress* progress, int jobs = 1);
  // False when the suffix sorter failed (it runs out of memory); the index
  // is then empty and finds nothing, and SorterResult holds its code.
  bool Built() const { return SorterCode == 0; }
  int SorterResult() const { return SorterCode; }
  // Longest match of target[from..] with a source position of the index
  // (at least two bytes, else 0); position receives where it starts.
  std::int32_t Longest(std::span<const std::uint8_t> target, std::int32_t from,
                       std::int32_t& position) const;

 private:
  struct TBuildSteps;
  bool SortPieces(std::int64_t pieceCount, int jobs, std::vector<std::int32_t>& room,
                  std::vector<std::size_t>& pieceEnds, TBuildSteps& steps);
  void MergePieces(const std::vector<std::size_t>& pieceEnds, int jobs,
                   std::vector<std::int32_t>& room, TBuildSteps& steps);
  void FillBuckets();

  std::span<const std::uint8_t> Source;
  std::vector<std::int32_t> Suffixes;     // source positions, sorted
  std::vector<std::int32_t> BucketStart;  // per two-byte prefix
  std::vector<std::int32_t> BucketCount;
  int SorterCode = 0;
};

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_SOURCE_INDEX_H_
