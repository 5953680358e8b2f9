#include "generator/region_matcher.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "generator/common_length.h"
#include "generator/parallel_tasks.h"
#include "generator/progress.h"
#include "generator/source_index.h"

namespace mendrix {

namespace {

using TBytes = std::span<const std::uint8_t>;

// Where the walk stands between two steps. The regions it makes from there
// on depend on nothing else: the match cache only saves searches.
struct TWalkState {
  std::int64_t Scan = 0;
  std::int64_t Length = 0;
  std::int32_t Position = 0;
  std::int64_t LastScan = 0;
  std::int64_t LastPosition = 0;
  std::int64_t LastOffset = 0;

  bool operator==(const TWalkState&) const = default;
};

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

  // A walk of its own from target position at on, as if the target began
  // there under the alignment of equal positions.
  void StartAt(std::int64_t at);
  TWalkState State() const { return {Scan, Length, Position, LastScan, LastPosition, LastOffset}; }
  bool Finished() const { return Scan >= NewSize; }
  // One step of the walk: on to the next match that beats the alignment in
  // force, closing the stretch behind when it does. True when it closed one.
  bool Advance(std::vector<TAlignedRegion>& regions) {
    if (!ScanToNextMatch()) return false;
    CloseStretch(regions);
    return true;
  }
  // On to a later state of a walk under the same alignment that the walk
  // reaches without closing its stretch: only where it is and the match
  // found there change. Until a stretch closes, the steps depend on nothing
  // else.
  void SkipTo(const TWalkState& state) {
    Scan = state.Scan;
    Length = state.Length;
    Position = state.Position;
  }

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
  while (Scan < NewSize) Advance(regions);
  return regions;
}

void TRegionFinder::StartAt(std::int64_t at) {
  Scan = at;
  Length = 0;
  Position = 0;
  LastScan = at;
  LastPosition = at;
  LastOffset = 0;
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

// The walk of a long target on several threads. The target is cut into
// pieces; a walk starts at each piece's start (the first at the target's
// start: the one true walk) and goes through its piece, noting its state
// at the first step on or after every MarkStep-th position. Walks started
// at different places come to the same state soon, mostly at the first
// match that beats both their alignments; from a state they share on, they
// make the same regions. So each walk goes on past its piece until it
// stands in a state that the walk of a later piece noted there, and the
// true walk's regions are those of the first walk up to where it met the
// next, that walk's from there, and so on.
//
// A stretch can be long. Until it closes, a walk's steps depend only on
// where it is, the match found there and the alignment, not on where the
// stretch started; two walks that differ only in that make the same steps.
// So where a walk stands at a mark of another with the same match and
// alignment, it skips to that walk's next mark if no stretch closed before.
class TPieceWalks {
 public:
  TPieceWalks(const TSourceIndex& index, TBytes source, TBytes target, std::int64_t pieceLength);
  std::vector<TAlignedRegion> Run(int jobs, TProgress* progress);

 private:
  // A state noted, and the number of regions made and stretches closed by
  // then.
  struct TMark {
    TWalkState State;
    std::size_t Regions = 0;
    std::size_t Closes = 0;
  };
  struct TWalk {
    explicit TWalk(const TRegionFinder& finder) : Finder(finder) {}

    TRegionFinder Finder;
    std::vector<TAlignedRegion> Regions;
    std::vector<TMark> Marks;  // in the walk's piece, one a position at most
    std::int64_t NextMark = 0;
    std::size_t Closes = 0;
    // Where the walk met a later one: which walk, at which of its marks, and
    // the regions this walk had made by then.
    bool Met = false;
    std::size_t MetWalk = 0;
    std::size_t MetMark = 0;
    std::size_t RegionsAtMeeting = 0;
  };

  void WalkPiece(std::size_t k);
  bool WalkOn(std::size_t k, std::int64_t until);
  enum class TMeeting { None, Met, Skipped };
  TMeeting Meet(std::size_t k);
  std::vector<TAlignedRegion> Join();

  std::int64_t PieceLength;
  std::int64_t MarkStep;
  std::int64_t NewSize;
  std::vector<TWalk> Walks;
};

TPieceWalks::TPieceWalks(const TSourceIndex& index, TBytes source, TBytes target,
                         std::int64_t pieceLength)
    : PieceLength(pieceLength),
      MarkStep(std::max<std::int64_t>(1, pieceLength / 1024)),
      NewSize(static_cast<std::int64_t>(target.size())) {
  const std::size_t count = static_cast<std::size_t>((NewSize + PieceLength - 1) / PieceLength);
  Walks.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    Walks.emplace_back(TRegionFinder(index, source, target, nullptr));
  }
}

// Every walk through its piece at once, then on to where it meets a later
// one, but for at most one piece more; the walks that the true walk passes
// through and that need more go on while the regions are joined.
std::vector<TAlignedRegion> TPieceWalks::Run(int jobs, TProgress* progress) {
  const std::int64_t count = static_cast<std::int64_t>(Walks.size());
  // Going on past the piece is the short part of a walk's work.
  const std::int64_t total = count * 10;
  const auto show = [&](std::int64_t done) {
    if (progress != nullptr) progress->Show(TStage::Matching, done, total);
  };
  show(0);
  RunTasks(
      Walks.size(), jobs, [&](std::size_t k) { WalkPiece(k); },
      [&](std::size_t finished) { show(static_cast<std::int64_t>(finished) * 9); });
  RunTasks(
      Walks.size(), jobs,
      [&](std::size_t k) {
        WalkOn(k, std::min(NewSize, static_cast<std::int64_t>(k + 2) * PieceLength));
      },
      [&](std::size_t finished) { show(count * 9 + static_cast<std::int64_t>(finished)); });
  std::vector<TAlignedRegion> regions = Join();
  show(total);
  return regions;
}

void TPieceWalks::WalkPiece(std::size_t k) {
  TWalk& walk = Walks[k];
  const std::int64_t start = static_cast<std::int64_t>(k) * PieceLength;
  const std::int64_t end = std::min(NewSize, start + PieceLength);
  if (k > 0) walk.Finder.StartAt(start);
  walk.NextMark = start;
  for (TWalkState state = walk.Finder.State(); state.Scan < end; state = walk.Finder.State()) {
    if (state.Scan >= walk.NextMark) {
      walk.Marks.push_back({state, walk.Regions.size(), walk.Closes});
      walk.NextMark = (state.Scan / MarkStep + 1) * MarkStep;
    }
    if (walk.Finder.Advance(walk.Regions)) ++walk.Closes;
  }
}

// Walk k on from the end of its piece, up to position until or to where it
// meets a later walk. True when it is done: met or at the target's end.
bool TPieceWalks::WalkOn(std::size_t k, std::int64_t until) {
  TWalk& walk = Walks[k];
  while (!walk.Met && !walk.Finder.Finished()) {
    const std::int64_t scan = walk.Finder.State().Scan;
    if (scan >= walk.NextMark) {
      walk.NextMark = (scan / MarkStep + 1) * MarkStep;
      // Met, the loop ends; skipped, the walk looks again where it is now.
      if (Meet(k) != TMeeting::None) continue;
    }
    if (scan >= until) return false;
    walk.Finder.Advance(walk.Regions);
  }
  return true;
}

// What walk k finds at the mark of the same position that the walk of the
// piece it is in noted, if any: the same state, and it has met that walk;
// the same steps ahead, and it skips to that walk's next mark if no stretch
// closed before it.
TPieceWalks::TMeeting TPieceWalks::Meet(std::size_t k) {
  TWalk& walk = Walks[k];
  const TWalkState state = walk.Finder.State();
  const std::size_t other = static_cast<std::size_t>(state.Scan / PieceLength);
  const std::vector<TMark>& marks = Walks[other].Marks;
  const auto mark = std::lower_bound(
      marks.begin(), marks.end(), state.Scan,
      [](const TMark& noted, std::int64_t scan) { return noted.State.Scan < scan; });
  if (mark == marks.end() || mark->State.Scan != state.Scan) return TMeeting::None;
  if (mark->State == state) {
    walk.Met = true;
    walk.MetWalk = other;
    walk.MetMark = static_cast<std::size_t>(mark - marks.begin());
    walk.RegionsAtMeeting = walk.Regions.size();
    return TMeeting::Met;
  }
  const auto next = mark + 1;
  if (mark->State.Length != state.Length || mark->State.LastOffset != state.LastOffset ||
      next == marks.end() || next->Closes != mark->Closes) {
    return TMeeting::None;
  }
  walk.Finder.SkipTo(next->State);
  return TMeeting::Skipped;
}

// The true walk's regions, from the walks it passes through; those of them
// that stopped short of a meeting go on here.
std::vector<TAlignedRegion> TPieceWalks::Join() {
  struct TPart {
    std::size_t Walk = 0;
    std::size_t From = 0;
    std::size_t To = 0;
  };
  std::vector<TPart> parts;
  std::vector<bool> used(Walks.size(), false);
  std::size_t total = 0;
  for (std::size_t k = 0, from = 0;;) {
    TWalk& walk = Walks[k];
    WalkOn(k, NewSize);
    used[k] = true;
    const std::size_t to = walk.Met ? walk.RegionsAtMeeting : walk.Regions.size();
    parts.push_back({k, from, to});
    total += to - from;
    if (!walk.Met) break;
    from = Walks[walk.MetWalk].Marks[walk.MetMark].Regions;
    k = walk.MetWalk;
  }
  // The other walks' regions go before the list is made, and each walk's
  // once they are in it, so that the regions are never held much more than
  // twice.
  for (std::size_t k = 0; k < Walks.size(); ++k) {
    if (!used[k]) std::vector<TAlignedRegion>().swap(Walks[k].Regions);
  }
  std::vector<TAlignedRegion> regions;
  regions.reserve(total);
  for (const TPart& part : parts) {
    std::vector<TAlignedRegion>& made = Walks[part.Walk].Regions;
    regions.insert(regions.end(), made.begin() + static_cast<std::ptrdiff_t>(part.From),
                   made.begin() + static_cast<std::ptrdiff_t>(part.To));
    std::vector<TAlignedRegion>().swap(made);
  }
  return regions;
}

}  // namespace

std::vector<TAlignedRegion> FindRegions(const TSourceIndex& index, TBytes source, TBytes target,
                                        TProgress* progress, int jobs, std::int64_t pieceLength) {
  if (jobs > 1 && pieceLength > 0 && !source.empty() &&
      static_cast<std::int64_t>(target.size()) >= 2 * pieceLength) {
    TPieceWalks walks(index, source, target, pieceLength);
    return walks.Run(jobs, progress);
  }
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
