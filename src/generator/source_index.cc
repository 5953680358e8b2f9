// The source is sorted in pieces, each with an overlap so that the order of
// its suffixes holds in the whole source but for suffixes equal through the
// overlap; only every SampleStep-th suffix is kept. The sorted lists are
// then merged. Sorting in pieces keeps the work space near the source size.
#include "generator/source_index.h"

#include <divsufsort.h>

#include <algorithm>

#include "generator/common_length.h"
#include "generator/progress.h"

namespace mendrix {

namespace {

// Bytes past its end that a piece's sort sees.
constexpr std::int64_t Overlap = 1 << 16;
// Suffixes that agree on their first MergeDepth bytes are all equally good
// matches; the merges order them by position.
constexpr std::int32_t MergeDepth = 1 << 16;

}  // namespace

// Progress counts the sorts and merges as one run of steps: a piece's sort
// is one step, and the merge of piece p (from 1) moves the p pieces before
// it as well, so it is p + 1 steps.
struct TSourceIndex::TBuildSteps {
  TProgress* Progress = nullptr;
  std::int64_t Total = 0;
  std::int64_t Done = 0;

  void Show() const {
    if (Progress != nullptr) Progress->Show(TStage::Indexing, Done, Total);
  }
};

TSourceIndex::TSourceIndex(std::span<const std::uint8_t> source, TProgress* progress)
    : Source(source) {
  const std::int64_t size = static_cast<std::int64_t>(source.size());
  if (size < 2) return;
  const std::int64_t pieceCount = size < (std::int64_t{1} << 20) ? 1 : 8;
  TBuildSteps steps{progress, pieceCount + (pieceCount - 1) * (pieceCount + 2) / 2};
  std::vector<std::size_t> pieceEnds;
  if (!SortPieces(pieceCount, pieceEnds, steps)) return;
  MergePieces(pieceEnds, steps);
  steps.Show();
  FillBuckets();
}

// Every piece's sorted positions go straight into their stretch of the one
// list, whose length is known: the indexed positions with a byte after.
// pieceEnds receives where each piece's stretch ends.
bool TSourceIndex::SortPieces(std::int64_t pieceCount, std::vector<std::size_t>& pieceEnds,
                              TBuildSteps& steps) {
  const std::int64_t size = static_cast<std::int64_t>(Source.size());
  const std::int64_t pieceLength = (size + pieceCount - 1) / pieceCount;
  Suffixes.resize(static_cast<std::size_t>((size - 2) / SampleStep + 1));
  std::size_t kept = 0;
  for (std::int64_t start = 0; start < size; start += pieceLength) {
    steps.Show();
    const std::int64_t end = std::min(size, start + pieceLength);
    const std::int64_t textEnd = std::min(size, end + Overlap);
    std::vector<saidx_t> sorted(static_cast<std::size_t>(textEnd - start));
    // The sorter fails when its own work space can't be had; what it left
    // in sorted is then no order of positions at all.
    SorterCode =
        divsufsort(Source.data() + start, sorted.data(), static_cast<saidx_t>(textEnd - start));
    if (SorterCode != 0) {
      Suffixes = {};
      return false;
    }
    for (saidx_t local : sorted) {
      const std::int64_t at = start + local;
      if (at < end && at % SampleStep == 0 && at + 1 < size) {
        Suffixes[kept++] = static_cast<saidx_t>(at);
      }
    }
    pieceEnds.push_back(kept);
    ++steps.Done;
  }
  return true;
}

// The merges work in place, with room for one piece on the side.
void TSourceIndex::MergePieces(const std::vector<std::size_t>& pieceEnds, TBuildSteps& steps) {
  const std::int64_t size = static_cast<std::int64_t>(Source.size());
  const auto less = [&](std::int32_t a, std::int32_t b) {
    const std::int32_t limit =
        static_cast<std::int32_t>(std::min<std::int64_t>(MergeDepth, size - std::max(a, b)));
    const std::int32_t common = CommonLength(Source.data() + a, Source.data() + b, limit);
    if (common == limit) return limit < MergeDepth ? a > b : a < b;
    return Source[a + common] < Source[b + common];
  };
  for (std::size_t p = 1; p < pieceEnds.size(); ++p) {
    steps.Show();
    const auto middle = Suffixes.begin() + static_cast<std::ptrdiff_t>(pieceEnds[p - 1]);
    const auto end = Suffixes.begin() + static_cast<std::ptrdiff_t>(pieceEnds[p]);
    std::inplace_merge(Suffixes.begin(), middle, end, less);
    steps.Done += static_cast<std::int64_t>(p) + 1;
  }
}

// Suffixes with the same first two bytes stand together.
void TSourceIndex::FillBuckets() {
  BucketStart.assign(65536, 0);
  BucketCount.assign(65536, 0);
  for (std::size_t i = 0; i < Suffixes.size(); ++i) {
    const std::int32_t at = Suffixes[i];
    const int key = Source[at] << 8 | Source[at + 1];
    if (BucketCount[key]++ == 0) BucketStart[key] = static_cast<std::int32_t>(i);
  }
}

std::int32_t TSourceIndex::Longest(std::span<const std::uint8_t> target, std::int32_t from,
                                   std::int32_t& position) const {
  const std::int32_t wanted = static_cast<std::int32_t>(target.size()) - from;
  if (wanted < 2 || Suffixes.empty()) return 0;
  const std::uint8_t* t = target.data() + from;
  const int key = t[0] << 8 | t[1];
  const std::int32_t size = static_cast<std::int32_t>(Source.size());
  const std::int32_t first = BucketStart[key];
  const std::int32_t end = first + BucketCount[key];
  std::int32_t low = first;
  std::int32_t high = end;
  // Lower bound of the target in [low, high). lowCommon and highCommon are
  // the common lengths with the neighbours just outside the range, so the
  // smaller one is common to every suffix inside it.
  std::int32_t lowCommon = 2;
  std::int32_t highCommon = 2;
  while (low < high) {
    const std::int32_t middle = low + (high - low) / 2;
    const std::int32_t start = Suffixes[middle];
    const std::int32_t known = std::min(lowCommon, highCommon);
    const std::int32_t limit = std::min(wanted, size - start);
    const std::int32_t common =
        known + CommonLength(t + known, Source.data() + start + known, limit - known);
    if (common == wanted || (common != size - start && Source[start + common] > t[common])) {
      high = middle;  // the target is a prefix of this suffix, or sorts before it
      highCommon = common;
    } else {
      low = middle + 1;
      lowCommon = common;
    }
  }
  std::int32_t best = 0;
  for (std::int32_t at : {low - 1, low}) {
    if (at < first || at >= end) continue;
    const std::int32_t start = Suffixes[at];
    const std::int32_t common =
        2 + CommonLength(t + 2, Source.data() + start + 2, std::min(wanted, size - start) - 2);
    if (common > best) {
      best = common;
      position = start;
    }
  }
  return best;
}

}  // namespace mendrix
