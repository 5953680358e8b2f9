#include "generator/region_matcher.h"

#include <algorithm>
#include <array>

#include "generator/common_length.h"
#include "generator/progress.h"
#include "generator/source_index.h"

namespace mendrix {

namespace {

using TBytes = std::span<const std::uint8_t>;

// The walk keeps the last alignment (LastOffset: source minus target
// position) and counts how many of the next bytes it would match. A fresh
// match replaces it only when it beats that count by more than a few bytes;
// then the stretch behind is closed: extended forward under the old
// alignment and backward under the new one as far as at least half of the
// bytes agree.
class TRegionFinder {
 public:
  TRegionFinder(const TSourceIndex& index, TBytes source, TBytes target, TProgress* progress);
  std::vector<TAlignedRegion> Run();

 private:
  static constexpr std::int32_t Step = TSourceIndex::SampleStep;

  int OldByte(std::int64_t at) const { return at >= 0 && at < OldSize ? Source[at] : -1; }
  std::int64_t IndexedMatch(std::int64_t at, std::int32_t& found);
  std::int64_t MatchAt(std::int64_t at, std::int32_t& found);
  bool ScanToNextMatch();
  std::int64_t ForwardExtent() const;
  std::int64_t BackwardExtent() const;
  void SplitOverlap(std::int64_t& forward, std::int64_t& backward) const;
  void CloseStretch(std::vector<TAlignedRegion>& regions);

  const TSourceIndex& Index;
  TBytes Source;
  TBytes Target;
  TProgress* Progress;
  std::int64_t OldSize;
  std::int64_t NewSize;
  // The index holds every SampleStep-th source position, so a match that
  // starts elsewhere shows at one of the next target positions; each is
  // searched once and kept for the positions before it.
  std::array<std::int64_t, Step> CachedAt{};
  std::array<std::int32_t, Step> CachedLength{};
  std::array<std::int32_t, Step> CachedPosition{};
  std::int64_t Scan = 0;          // where the walk is in the target
  std::int64_t Length = 0;        // of the match found there
  std::int32_t Position = 0;      // where that match starts in the source
  std::int64_t LastScan = 0;      // where the open stretch starts in the target
  std::int64_t LastPosition = 0;  // and in the source
  std::int64_t LastOffset = 0;
};

TRegionFinder::TRegionFinder(const TSourceIndex& index, TBytes source, TBytes target,
                             TProgress* progress)
    : Index(index),
      Source(source),
      Target(target),
      Progress(progress),
      OldSize(static_cast<std::int64_t>(source.size())),
      NewSize(static_cast<std::int64_t>(target.size())) {
  CachedAt.fill(-1);
}

std::vector<TAlignedRegion> TRegionFinder::Run() {
  std::vector<TAlignedRegion> regions;
  if (OldSize == 0 || NewSize == 0) return regions;
  while (Scan < NewSize) {
    if (ScanToNextMatch()) CloseStretch(regions);
  }
  return regions;
}

// The longest match of the index that covers target position at, whichever
// of the next Step positions it starts at in the index.
std::int64_t TRegionFinder::IndexedMatch(std::int64_t at, std::int32_t& found) {
  std::int64_t best = 0;
  for (std::int32_t ahead = 0; ahead < Step && at + ahead < NewSize; ++ahead) {
    const std::int64_t from = at + ahead;
    const std::size_t slot = static_cast<std::size_t>(from % Step);
    if (CachedAt[slot] != from) {
      CachedAt[slot] = from;
      CachedLength[slot] =
          Index.Longest(Target, static_cast<std::int32_t>(from), CachedPosition[slot]);
    }
    const std::int64_t start = std::int64_t{CachedPosition[slot]} - ahead;
    if (CachedLength[slot] == 0 || start < 0 || CachedLength[slot] + ahead <= best) continue;
    if (CommonLength(Target.data() + at, Source.data() + start, ahead) != ahead) continue;
    best = CachedLength[slot] + ahead;
    found = static_cast<std::int32_t>(start);
  }
  return best;
}

// The longest match at target position at. The index holds only some source
// positions; the run that the last alignment still matches here counts as a
// match too.
std::int64_t TRegionFinder::MatchAt(std::int64_t at, std::int32_t& found) {
  std::int64_t length = IndexedMatch(at, found);
  const std::int64_t aligned = at + LastOffset;
  if (aligned >= 0 && aligned < OldSize) {
    const std::int64_t run =
        CommonLength(Target.data() + at, Source.data() + aligned,
                     static_cast<std::int32_t>(std::min(NewSize - at, OldSize - aligned)));
    if (run > length) {
      length = run;
      found = static_cast<std::int32_t>(aligned);
    }
  }
  return length;
}

// Walks on past the last match to the next one that beats the alignment in
// force. False when the walk found none better and the stretch stays open.
bool TRegionFinder::ScanToNextMatch() {
  std::int64_t oldScore = 0;  // of the bytes [Scan, scoreEnd) under LastOffset
  std::int64_t scoreEnd = Scan += Length;
  for (; Scan < NewSize; ++Scan) {
    if ((Scan & 0xFFFF) == 0 && Progress != nullptr) {
      Progress->Show(TStage::Matching, Scan, NewSize);
    }
    Length = MatchAt(Scan, Position);
    for (; scoreEnd < Scan + Length; ++scoreEnd) {
      if (OldByte(scoreEnd + LastOffset) == Target[scoreEnd]) ++oldScore;
    }
    if ((Length == oldScore && Length != 0) || Length > oldScore + 8) break;
    if (OldByte(Scan + LastOffset) == Target[Scan]) --oldScore;
  }
  return Length != oldScore || Scan == NewSize;
}

// How far the open stretch reaches forward under its own alignment.
std::int64_t TRegionFinder::ForwardExtent() const {
  std::int64_t forward = 0;
  std::int64_t matches = 0;
  std::int64_t best = 0;
  for (std::int64_t i = 0; LastScan + i < Scan && LastPosition + i < OldSize;) {
    if (Source[LastPosition + i] == Target[LastScan + i]) ++matches;
    ++i;
    if (matches * 2 - i > best * 2 - forward) {
      best = matches;
      forward = i;
    }
  }
  return forward;
}

// How far the new match reaches backward under its alignment.
std::int64_t TRegionFinder::BackwardExtent() const {
  std::int64_t backward = 0;
  if (Scan >= NewSize) return backward;
  std::int64_t matches = 0;
  std::int64_t best = 0;
  for (std::int64_t i = 1; Scan >= LastScan + i && Position >= i; ++i) {
    if (Source[Position - i] == Target[Scan - i]) ++matches;
    if (matches * 2 - i > best * 2 - backward) {
      best = matches;
      backward = i;
    }
  }
  return backward;
}

// Where the two extensions overlap, splits them where the bytes agree best.
void TRegionFinder::SplitOverlap(std::int64_t& forward, std::int64_t& backward) const {
  if (LastScan + forward <= Scan - backward) return;
  const std::int64_t overlap = LastScan + forward - (Scan - backward);
  std::int64_t score = 0;
  std::int64_t bestScore = 0;
  std::int64_t split = 0;
  for (std::int64_t i = 0; i < overlap; ++i) {
    if (Target[LastScan + forward - overlap + i] == Source[LastPosition + forward - overlap + i]) {
      ++score;
    }
    if (Target[Scan - backward + i] == Source[Position - backward + i]) --score;
    if (score > bestScore) {
      bestScore = score;
      split = i + 1;
    }
  }
  forward += split - overlap;
  backward -= split;
}

// Ends the open stretch as a region and opens the next at the new match.
void TRegionFinder::CloseStretch(std::vector<TAlignedRegion>& regions) {
  std::int64_t forward = ForwardExtent();
  std::int64_t backward = BackwardExtent();
  SplitOverlap(forward, backward);
  if (forward > 0) {
    regions.push_back({static_cast<std::int32_t>(LastScan), static_cast<std::int32_t>(LastPosition),
                       static_cast<std::int32_t>(forward)});
  }
  LastScan = Scan - backward;
  LastPosition = Position - backward;
  LastOffset = Position - Scan;
}

}  // namespace

std::vector<TAlignedRegion> FindRegions(const TSourceIndex& index, TBytes source, TBytes target,
                                        TProgress* progress) {
  TRegionFinder finder(index, source, target, progress);
  return finder.Run();
}

std::vector<TCopyUnit> ExactRuns(TBytes source, TBytes target,
                                 const std::vector<TAlignedRegion>& regions, std::int32_t minRun) {
  // Two passes, counting and then filling, so that the list takes no more
  // room than it needs.
  std::vector<TCopyUnit> runs;
  for (int pass = 0; pass < 2; ++pass) {
    std::size_t count = 0;
    for (const TAlignedRegion& region : regions) {
      std::int32_t i = 0;
      while (i < region.Length) {
        const std::int32_t run =
            CommonLength(target.data() + region.TargetStart + i,
                         source.data() + region.SourceStart + i, region.Length - i);
        if (run >= minRun) {
          if (pass == 1) {
            runs.push_back({region.TargetStart + i, region.SourceStart + i, run,
                            region.TargetStart + region.Length});
          }
          ++count;
        }
        i += run + 1;  // the byte after a run differs
      }
    }
    if (pass == 0) runs.reserve(count);
  }
  return runs;
}

}  // namespace mendrix
