// The source is sorted in pieces, each with an overlap so that the order of
// its suffixes holds in the whole source but for suffixes equal through the
// overlap; only every SampleStep-th suffix is kept. The sorted lists are
// then merged. Sorting in pieces keeps the work space near the source size.
//
// The merged order: suffixes by their first MergeDepth bytes, and those
// that agree that far by piece, each piece's in the order its sort gave
// them. It is a total order, so any way of merging gives the same list: the
// pieces are sorted at once, and merged all together in one pass (each
// suffix's bytes are read once, not once a merge), cut into chunks that
// threads merge at once.
#include "generator/source_index.h"

#include <divsufsort.h>

#include <algorithm>
#include <array>
#include <mutex>

#include "generator/common_length.h"
#include "generator/parallel_tasks.h"
#include "generator/progress.h"

namespace mendrix {

namespace {

// Bytes past its end that a piece's sort sees.
constexpr std::int64_t Overlap = 1 << 16;
// Suffixes that agree on their first MergeDepth bytes are all equally good
// matches; the merge orders them by piece.
constexpr std::int32_t MergeDepth = 1 << 16;
// Sources of this size and more are sorted in MaxPieces pieces.
constexpr std::int64_t PiecesFrom = std::int64_t{1} << 20;
constexpr std::size_t MaxPieces = 8;
// Chunks of the merged list, merged one a task.
constexpr std::size_t MergeChunks = 64;

using TRunBounds = std::array<std::size_t, MaxPieces>;

// The merged order of two suffixes of different pieces; there the piece
// order is the position order.
class TMergeOrder {
 public:
  explicit TMergeOrder(std::span<const std::uint8_t> source)
      : Source(source), Size(static_cast<std::int64_t>(source.size())) {}

  bool operator()(std::int32_t a, std::int32_t b) const {
    const std::int32_t limit =
        static_cast<std::int32_t>(std::min<std::int64_t>(MergeDepth, Size - std::max(a, b)));
    const std::int32_t common = CommonLength(Source.data() + a, Source.data() + b, limit);
    if (common == limit) return limit < MergeDepth ? a > b : a < b;
    return Source[a + common] < Source[b + common];
  }

  // The first eight bytes of the suffix at as a number, zeros past the
  // source's end: a smaller head means an earlier suffix, equal heads say
  // nothing.
  std::uint64_t Head(std::int32_t at) const {
    std::uint64_t head = 0;
    for (std::int64_t k = 0; k < 8; ++k) {
      head = head << 8 | (at + k < Size ? Source[at + k] : 0U);
    }
    return head;
  }

  // Asks for a suffix's first bytes to be brought near, ahead of Head.
  void Prefetch(std::int32_t at) const {
#if defined(__GNUC__)
    __builtin_prefetch(Source.data() + at);
#else
    (void)at;
#endif
  }

 private:
  std::span<const std::uint8_t> Source;
  std::int64_t Size;
};

// Merges the runs [begin[r], end[r]) of sorted, r below runCount, into out:
// a tournament of the runs' first suffixes, whose heads are kept at hand so
// that most matches need no source bytes. The source bytes a head is read
// from are far apart, and reading them is most of the time: each run asks
// for its suffixes' bytes a few suffixes ahead.
void MergeRuns(const TMergeOrder& order, const std::int32_t* list, const TRunBounds& begin,
               const TRunBounds& end, std::size_t runCount, std::int32_t* out) {
  constexpr std::size_t Leaves = MaxPieces;
  constexpr std::size_t PrefetchAhead = 8;
  TRunBounds next = begin;
  std::array<std::uint64_t, Leaves> head{};
  std::array<std::size_t, 2 * Leaves> winner{};
  const auto live = [&](std::size_t r) { return r < runCount && next[r] < end[r]; };
  const auto better = [&](std::size_t r, std::size_t s) {
    if (!live(s)) return r;
    if (!live(r)) return s;
    if (head[r] != head[s]) return head[r] < head[s] ? r : s;
    return order(list[next[r]], list[next[s]]) ? r : s;
  };
  for (std::size_t r = 0; r < runCount; ++r) {
    for (std::size_t k = 1; k <= PrefetchAhead && next[r] + k < end[r]; ++k) {
      order.Prefetch(list[next[r] + k]);
    }
  }
  for (std::size_t r = 0; r < Leaves; ++r) {
    if (live(r)) head[r] = order.Head(list[next[r]]);
    winner[Leaves + r] = r;
  }
  for (std::size_t n = Leaves - 1; n >= 1; --n)
    winner[n] = better(winner[2 * n], winner[2 * n + 1]);
  while (live(winner[1])) {
    const std::size_t r = winner[1];
    *out++ = list[next[r]++];
    if (next[r] + PrefetchAhead < end[r]) order.Prefetch(list[next[r] + PrefetchAhead]);
    if (live(r)) head[r] = order.Head(list[next[r]]);
    for (std::size_t n = (Leaves + r) / 2; n >= 1; n /= 2) {
      winner[n] = better(winner[2 * n], winner[2 * n + 1]);
    }
  }
}

// Where the chunks of the merge start in each run: bounds[c][r] for chunk c
// (MergeChunks + 1 of them, the last the runs' ends). The chunks are cut at
// suffixes sampled evenly from all runs, put in the merged order; at a cut
// suffix, each other run is cut where its suffixes stop coming before it.
std::vector<TRunBounds> ChunkBounds(const TMergeOrder& order, const std::int32_t* list,
                                    const TRunBounds& begin, const TRunBounds& end,
                                    std::size_t runCount) {
  struct TSample {
    std::size_t Run;
    std::size_t At;
  };
  std::vector<TSample> samples;
  for (std::size_t r = 0; r < runCount; ++r) {
    for (std::size_t k = 1; k < MergeChunks; ++k) {
      samples.push_back({r, begin[r] + (end[r] - begin[r]) * k / MergeChunks});
    }
  }
  std::sort(samples.begin(), samples.end(), [&](const TSample& a, const TSample& b) {
    return a.Run == b.Run ? a.At < b.At : order(list[a.At], list[b.At]);
  });
  std::vector<TRunBounds> bounds(MergeChunks + 1);
  bounds.front() = begin;
  bounds.back() = end;
  for (std::size_t c = 1; c < MergeChunks; ++c) {
    const TSample& cut = samples[c * runCount - 1];
    for (std::size_t r = 0; r < runCount; ++r) {
      bounds[c][r] =
          r == cut.Run
              ? cut.At
              : static_cast<std::size_t>(
                    std::partition_point(list + begin[r], list + end[r],
                                         [&](std::int32_t at) { return order(at, list[cut.At]); }) -
                    list);
    }
  }
  return bounds;
}

// The number of indexed positions below at: multiples of SampleStep that
// have a byte after them.
std::size_t IndexedBelow(std::int64_t at, std::int64_t size) {
  return static_cast<std::size_t>((std::min(at, size - 1) + TSourceIndex::SampleStep - 1) /
                                  TSourceIndex::SampleStep);
}

}  // namespace

// Progress counts the sorts and the merge's chunks as one run of steps.
struct TSourceIndex::TBuildSteps {
  TProgress* Progress = nullptr;
  std::int64_t Total = 0;
  std::int64_t Done = 0;

  void Show() const {
    if (Progress != nullptr) Progress->Show(TStage::Indexing, Done, Total);
  }
};

TSourceIndex::TSourceIndex(std::span<const std::uint8_t> source, TProgress* progress, int jobs)
    : Source(source) {
  const std::int64_t size = static_cast<std::int64_t>(source.size());
  if (size < 2) return;
  const std::int64_t pieceCount = size < PiecesFrom ? 1 : static_cast<std::int64_t>(MaxPieces);
  TBuildSteps steps{progress, pieceCount + (pieceCount > 1 ? std::int64_t{MergeChunks} : 0)};
  std::vector<std::size_t> pieceEnds;
  std::vector<std::int32_t> room;  // the sorts' work space, then the merge's
  if (!SortPieces(pieceCount, jobs, room, pieceEnds, steps)) return;
  if (pieceEnds.size() > 1) MergePieces(pieceEnds, jobs, room, steps);
  steps.Done = steps.Total;
  steps.Show();
  FillBuckets();
}

// Every piece's sorted positions go straight into their stretch of the one
// list, whose length is known: the indexed positions with a byte after.
// pieceEnds receives where each piece's stretch ends. The pieces sorted at
// once share room, made as large as the merge needs too, so that the build
// takes it once (memory given back between two sorts may stay with the
// thread that had it).
bool TSourceIndex::SortPieces(std::int64_t pieceCount, int jobs, std::vector<std::int32_t>& room,
                              std::vector<std::size_t>& pieceEnds, TBuildSteps& steps) {
  const std::int64_t size = static_cast<std::int64_t>(Source.size());
  const std::int64_t pieceLength = (size + pieceCount - 1) / pieceCount;
  const std::size_t pieces = static_cast<std::size_t>((size + pieceLength - 1) / pieceLength);
  Suffixes.resize(IndexedBelow(size, size));
  const std::size_t slotLength = static_cast<std::size_t>(std::min(size, pieceLength + Overlap));
  const std::size_t slots = std::min(pieces, static_cast<std::size_t>(std::max(jobs, 1)));
  room.resize(std::max(slots * slotLength, pieces > 1 ? Suffixes.size() : 0));
  std::vector<int> codes(pieces, 0);
  std::vector<std::size_t> freeSlots;
  for (std::size_t k = 0; k < slots; ++k) freeSlots.push_back(k);
  std::mutex slotLock;
  const auto sortPiece = [&](std::size_t p) {
    const std::int64_t start = static_cast<std::int64_t>(p) * pieceLength;
    const std::int64_t end = std::min(size, start + pieceLength);
    const std::int64_t textEnd = std::min(size, end + Overlap);
    std::size_t slot = 0;
    {
      const std::lock_guard<std::mutex> guard(slotLock);
      slot = freeSlots.back();
      freeSlots.pop_back();
    }
    const std::span<saidx_t> sorted(room.data() + slot * slotLength,
                                    static_cast<std::size_t>(textEnd - start));
    // The sorter fails when its own work space can't be had; what it left
    // in sorted is then no order of positions at all.
    codes[p] =
        divsufsort(Source.data() + start, sorted.data(), static_cast<saidx_t>(textEnd - start));
    std::size_t kept = IndexedBelow(start, size);
    for (saidx_t local : sorted) {
      const std::int64_t at = start + local;
      if (codes[p] == 0 && at < end && at % SampleStep == 0 && at + 1 < size) {
        Suffixes[kept++] = static_cast<saidx_t>(at);
      }
    }
    const std::lock_guard<std::mutex> guard(slotLock);
    freeSlots.push_back(slot);
  };
  steps.Show();
  RunTasks(pieces, jobs, sortPiece, [&](std::size_t finished) {
    steps.Done = static_cast<std::int64_t>(finished);
    steps.Show();
  });
  steps.Done = static_cast<std::int64_t>(pieces);
  for (std::size_t p = 0; p < pieces; ++p) {
    SorterCode = codes[p];
    if (SorterCode != 0) {
      Suffixes = {};
      return false;
    }
    pieceEnds.push_back(
        IndexedBelow(std::min(size, static_cast<std::int64_t>(p + 1) * pieceLength), size));
  }
  return true;
}

// The merge goes into room, a second list as long as the first.
void TSourceIndex::MergePieces(const std::vector<std::size_t>& pieceEnds, int jobs,
                               std::vector<std::int32_t>& room, TBuildSteps& steps) {
  const TMergeOrder order(Source);
  const std::size_t runCount = pieceEnds.size();
  TRunBounds begin{};
  TRunBounds end{};
  for (std::size_t r = 0; r < runCount; ++r) {
    begin[r] = r == 0 ? 0 : pieceEnds[r - 1];
    end[r] = pieceEnds[r];
  }
  const std::vector<TRunBounds> bounds = ChunkBounds(order, Suffixes.data(), begin, end, runCount);
  std::vector<std::int32_t>& merged = room;
  merged.resize(Suffixes.size());
  const auto mergeChunk = [&](std::size_t c) {
    std::size_t out = 0;
    for (std::size_t r = 0; r < runCount; ++r) out += bounds[c][r] - begin[r];
    MergeRuns(order, Suffixes.data(), bounds[c], bounds[c + 1], runCount, merged.data() + out);
  };
  const std::int64_t sorted = steps.Done;
  RunTasks(MergeChunks, jobs, mergeChunk, [&](std::size_t finished) {
    steps.Done = sorted + static_cast<std::int64_t>(finished);
    steps.Show();
  });
  Suffixes.swap(merged);
}
// Suffixes with the same first two bytes stand together. Their bytes are
// asked for ahead, as in the merge.
void TSourceIndex::FillBuckets() {
  BucketStart.assign(65536, 0);
  BucketCount.assign(65536, 0);
  const TMergeOrder order(Source);
  constexpr std::size_t Ahead = 16;
  for (std::size_t i = 0; i < Suffixes.size(); ++i) {
    if (i + Ahead < Suffixes.size()) order.Prefetch(Suffixes[i + Ahead]);
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
  // The longest match is with a neighbour of the lower bound, and the
  // search has measured both: the one below when low moved, the one at it
  // when high moved.
  std::int32_t best = 0;
  if (low > first) {
    best = lowCommon;
    position = Suffixes[low - 1];
  }
  if (low < end && highCommon > best) {
    best = highCommon;
    position = Suffixes[low];
  }
  return best;
}

}  // namespace mendrix
