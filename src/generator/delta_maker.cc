#include "generator/delta_maker.h"

#include <divsufsort.h>
#include <lzma.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "generator/progress.h"

namespace mendrix {

namespace {

using TBytes = std::span<const std::uint8_t>;

// Number of equal bytes at the start of a and b, at most limit.
std::int32_t CommonLength(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
  std::int32_t length = 0;
  while (limit - length >= 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (x != y) {
      // The first differing byte in memory order; the hosts we build for are
      // little-endian, and the loop below settles it for any other.
      break;
    }
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

// The largest magnitude a number may have under a NumberLimit.
std::int64_t NumberCapacity(std::int32_t limit) {
  if (limit <= 0xFF) return 0xFF;
  if (limit <= 0xFFFF) return 0xFFFF;
  if (limit <= 0xFFFFFF) return 0xFFFFFF;
  return 0x7FFFFFFF;
}

std::int64_t PieceCount(std::int64_t length, int blockLength) {
  return std::max<std::int64_t>(1, length / blockLength);
}

// A bit sequence as the decoder reads it: bit 0 of each byte first.
class TBitSink {
 public:
  explicit TBitSink(std::vector<std::uint8_t>& bytes) : Bytes_(bytes) {}
  void Put(bool bit) {
    if (Used_ == 8) {
      Bytes_.push_back(0);
      Used_ = 0;
    }
    if (bit) Bytes_.back() = static_cast<std::uint8_t>(Bytes_.back() | 1u << Used_);
    ++Used_;
  }

 private:
  std::vector<std::uint8_t>& Bytes_;
  int Used_ = 8;
};

class TPlanner {
 public:
  TPlanner(TBytes source, TBytes target, const std::vector<TCopyUnit>& copies,
           std::uint16_t groupLength, std::uint8_t blockLength, bool encode, bool keepOps,
           std::int32_t fixedAddCount)
      : Source_(source),
        Target_(target),
        Copies_(copies),
        SourceSize_(static_cast<std::int32_t>(source.size())),
        TargetSize_(static_cast<std::int32_t>(target.size())),
        Limit_(std::max(SourceSize_, TargetSize_)),
        GroupLength_(groupLength),
        BlockLength_(blockLength),
        Encode_(encode),
        KeepOps_(keepOps),
        FixedAddCount_(fixedAddCount),
        Flags_(Plan_.Streams[FlagStream]),
        Signs_(Plan_.Streams[SignStream]) {}

  TDeltaPlan Run() {
    Plan_.Params.GroupLength = GroupLength_;
    Plan_.Params.BlockLength = BlockLength_;
    Plan_.Params.VariantFlags = 0;  // AddMode on; NumberLimit the larger size
    Plan_.Params.NumberLimit = Limit_;
    TState state;
    const std::size_t count = Copies_.size();
    for (std::size_t i = 0; i < count; ++i) {
      std::int32_t addCount = state.AddCount;
      if (state.Countdown == 0) {
        addCount = FixedAddCount_ >= 0 ? FixedAddCount_ : ChooseAddCount(state, i);
      }
      (void)Step(state, i, addCount, true);
    }
    if (state.Produced < TargetSize_) {
      AddInsert(state, state.Produced, TargetSize_ - state.Produced, true);
    }
    Plan_.Cost = state.Cost;
    return std::move(Plan_);
  }

 private:
  // The decoder's state between operations, and what the plan has cost.
  struct TState {
    std::int32_t Produced = 0;  // target bytes written
    std::int32_t RunEnd = 0;    // CopyPosition + CopyLength
    std::int32_t AddCount = 0;
    std::int32_t Countdown = 0;  // GroupCountdown
    bool HaveCopy = false;
    std::int32_t RegionEnd = 0;  // of the last copy
    TPlanCost Cost;
    std::int64_t Bits() const {
      return 8 * (Cost.NumberBytes + Cost.InsertBytes + Cost.AddBytes) + Cost.FlagBits +
             Cost.SignBits;
    }
  };

  // A number as the decoder reads it: the sign bit, the magnitude bytes most
  // significant first, and after each byte an extension bit where the
  // NumberLimit allows another byte (the first from the sign stream, the
  // others from the flag stream).
  void AddNumber(TState& state, std::int64_t value, bool emit) {
    const std::int64_t magnitude = value < 0 ? -value : value;
    int bytes = 1;
    if (Limit_ > 0xFF && magnitude > 0xFF) bytes = 2;
    if (Limit_ > 0xFFFF && magnitude > 0xFFFF) bytes = 3;
    if (Limit_ > 0xFFFFFF && magnitude > 0xFFFFFF) bytes = 4;
    state.Cost.NumberBytes += bytes;
    state.Cost.SignBits += 1 + (Limit_ > 0xFF ? 1 : 0);
    state.Cost.FlagBits += (bytes >= 2 && Limit_ > 0xFFFF ? 1 : 0) +
                           (bytes >= 3 && Limit_ > 0xFFFFFF ? 1 : 0);
    if (!emit || !Encode_) return;
    std::vector<std::uint8_t>& numbers = Plan_.Streams[NumberStream];
    Signs_.Put(value < 0);
    for (int k = 0; k < bytes; ++k) {
      numbers.push_back(static_cast<std::uint8_t>(magnitude >> (8 * (bytes - 1 - k))));
      const bool more = k + 1 < bytes;
      if (k == 0 && Limit_ > 0xFF) Signs_.Put(more);
      if (k == 1 && Limit_ > 0xFFFF) Flags_.Put(more);
      if (k == 2 && Limit_ > 0xFFFFFF) Flags_.Put(more);
    }
  }

  // An insert of the target bytes [from, from + length).
  void AddInsert(TState& state, std::int32_t from, std::int32_t length, bool emit) {
    // An insert longer than a number can hold goes in several.
    const std::int32_t most = static_cast<std::int32_t>(NumberCapacity(Limit_));
    while (length > 0) {
      const std::int32_t part = std::min(length, most);
      AddNumber(state, -static_cast<std::int64_t>(part), emit);
      state.Cost.InsertBytes += part;
      state.Cost.FlagBits += PieceCount(part, BlockLength_);
      if (emit) EmitInsert(state, from, part);
      from += part;
      length -= part;
      state.Produced += part;
    }
  }

  // The pieces of an insert. A piece that lies mostly in the aligned region
  // of the last copy is stored as differences to the old bytes after that
  // copy's run, which leaves mostly zeros; any other as it stands.
  void EmitInsert(const TState& state, std::int32_t from, std::int32_t length) {
    if (!Encode_ && !KeepOps_) return;
    TDeltaOp op;
    op.Kind = TOpKind::Insert;
    op.Length = length;
    op.InsertBytes.assign(Target_.begin() + from, Target_.begin() + from + length);
    const std::int64_t oldBase = std::int64_t{state.RunEnd} + state.AddCount;
    std::int32_t offset = 0;
    const std::int32_t block = BlockLength_;
    for (;;) {
      const std::int32_t rest = length - offset;
      const std::int32_t piece = rest >= 2 * block ? block : rest;
      const std::int64_t old = oldBase + offset;
      const std::int64_t pieceStart = std::int64_t{from} + offset;
      const std::int64_t aligned =
          std::min<std::int64_t>(pieceStart + piece, state.RegionEnd) - pieceStart;
      const bool literal = !state.HaveCopy || old + piece > SourceSize_ || aligned * 2 < piece;
      if (!literal) {
        for (std::int32_t k = 0; k < piece; ++k) {
          op.InsertBytes[offset + k] =
              static_cast<std::uint8_t>(Target_[from + offset + k] - Source_[old + k]);
        }
      }
      op.PieceFlags.push_back(literal);
      if (Encode_) {
        std::vector<std::uint8_t>& inserts = Plan_.Streams[InsertStream];
        inserts.insert(inserts.end(), op.InsertBytes.begin() + offset,
                       op.InsertBytes.begin() + offset + piece);
        Flags_.Put(literal);
      }
      if (rest < 2 * block) break;
      offset += block;
    }
    if (KeepOps_) Plan_.Ops.push_back(std::move(op));
  }

  // Copy i with addCount add bytes, if it still has bytes to copy once the
  // target bytes already written are taken off its front and its run leaves
  // room for the add bytes. Before it, the target bytes since the last
  // operation go in an insert. False when the copy is dropped (its bytes are
  // then written by a later insert).
  bool Step(TState& state, std::size_t i, std::int32_t addCount, bool emit) {
    const TCopyUnit& unit = Copies_[i];
    const std::int32_t skip = std::max(0, state.Produced - unit.TargetStart);
    if (skip >= unit.Length) return false;
    const std::int32_t start = unit.TargetStart + skip;
    const std::int32_t address = unit.SourceStart + skip;
    std::int32_t length = unit.Length - skip;
    // The old bytes after the run are read for the add bytes, so they must
    // lie in the source; the add bytes must not run past the target's end.
    length = std::min(length, SourceSize_ - addCount - address);
    length = std::min(length, TargetSize_ - addCount - start);
    if (length <= 0) return false;
    if (start > state.Produced) AddInsert(state, state.Produced, start - state.Produced, emit);
    const std::int32_t offset = address - state.RunEnd;
    AddNumber(state, length, emit);
    AddNumber(state, offset, emit);
    const bool countByte = state.Countdown == 0;
    if (countByte) {
      state.Cost.NumberBytes += 1;
      state.AddCount = addCount;
      state.Countdown = GroupLength_;
    }
    --state.Countdown;
    state.Cost.AddBytes += state.AddCount;
    if (emit && (Encode_ || KeepOps_)) {
      if (Encode_ && countByte) {
        Plan_.Streams[NumberStream].push_back(static_cast<std::uint8_t>(state.AddCount));
      }
      std::vector<std::uint8_t> addBytes(static_cast<std::size_t>(state.AddCount));
      const std::int32_t after = start + length;
      for (std::int32_t k = 0; k < state.AddCount; ++k) {
        addBytes[k] = static_cast<std::uint8_t>(Target_[after + k] - Source_[address + length + k]);
      }
      if (Encode_) {
        std::vector<std::uint8_t>& adds = Plan_.Streams[AddStream];
        adds.insert(adds.end(), addBytes.begin(), addBytes.end());
      }
      if (KeepOps_) Plan_.Ops.push_back(TDeltaOp::Copy(length, offset, std::move(addBytes)));
    }
    state.RunEnd = address + length;
    state.RegionEnd = unit.RegionEnd;
    state.Produced = start + length + state.AddCount;
    state.HaveCopy = true;
    return true;
  }

  // The add count for the group that starts at copy i: the one that makes
  // the group's copies, and what they leave to insert, cheapest.
  std::int32_t ChooseAddCount(const TState& state, std::size_t first) {
    const std::size_t count = Copies_.size();
    std::array<std::int32_t, 8> candidates{};
    std::size_t candidateCount = 1;
    std::size_t span = GroupLength_;
    if (GroupLength_ == 0) {
      // One count byte serves the whole variant.
      span = count - first;
      candidates = {0, 1, 2, 3, 4, 6, 8, 12};
      candidateCount = candidates.size();
    }
    // Otherwise: none, and the gaps that follow the group's copies.
    for (std::size_t i = first; i < count && i - first < span && candidateCount < candidates.size();
         ++i) {
      const std::int32_t end = Copies_[i].TargetStart + Copies_[i].Length;
      const std::int32_t next = i + 1 < count ? Copies_[i + 1].TargetStart : TargetSize_;
      const std::int32_t gap = std::min(next - end, 255);
      if (gap <= 0) continue;
      if (std::find(candidates.begin(), candidates.begin() + candidateCount, gap) ==
          candidates.begin() + candidateCount) {
        candidates[candidateCount++] = gap;
      }
    }
    if (candidateCount == 1) return 0;
    std::int32_t best = 0;
    std::int64_t bestBits = -1;
    for (std::size_t c = 0; c < candidateCount; ++c) {
      TState trial = state;
      trial.Cost = TPlanCost{};
      std::size_t made = 0;
      std::size_t i = first;
      for (; i < count && made < span; ++i) {
        if (Step(trial, i, candidates[c], false)) ++made;
      }
      // Bytes left before the next copy will need an insert.
      const std::int32_t next = i < count ? Copies_[i].TargetStart : TargetSize_;
      if (next > trial.Produced) AddInsert(trial, trial.Produced, next - trial.Produced, false);
      const std::int64_t bits = trial.Bits();
      if (bestBits < 0 || bits < bestBits) {
        bestBits = bits;
        best = candidates[c];
      }
    }
    return best;
  }

  TBytes Source_;
  TBytes Target_;
  const std::vector<TCopyUnit>& Copies_;
  std::int32_t SourceSize_;
  std::int32_t TargetSize_;
  std::int32_t Limit_;
  std::uint16_t GroupLength_;
  std::uint8_t BlockLength_;
  bool Encode_;
  bool KeepOps_;
  std::int32_t FixedAddCount_;
  TDeltaPlan Plan_;
  TBitSink Flags_;
  TBitSink Signs_;
};

}  // namespace

TSourceIndex::TSourceIndex(TBytes source, TProgress* progress) : Source_(source) {
  const std::int64_t size = static_cast<std::int64_t>(source.size());
  if (size < 2) return;
  // The source is sorted in pieces, each with an overlap so that the order
  // of its suffixes holds in the whole source but for suffixes equal through
  // the overlap; only every SampleStep-th suffix is kept. The sorted lists
  // are then merged. Sorting in pieces keeps the work space near the source
  // size.
  constexpr std::int64_t Overlap = 1 << 16;
  const std::int64_t pieceCount = size < (std::int64_t{1} << 20) ? 1 : 8;
  const std::int64_t pieceLength = (size + pieceCount - 1) / pieceCount;
  // Progress counts the sorts and merges as one run of steps: a piece's sort
  // is one step, and the merge of piece p (from 1) moves the p pieces before
  // it as well, so it is p + 1 steps.
  const std::int64_t steps = pieceCount + (pieceCount - 1) * (pieceCount + 2) / 2;
  std::int64_t step = 0;
  const auto show = [&] {
    if (progress != nullptr) progress->Show(TStage::Indexing, step, steps);
  };
  // Every piece's sorted positions go straight into their stretch of the
  // one list, whose length is known: the indexed positions with a byte after.
  Suffixes_.resize(static_cast<std::size_t>((size - 2) / SampleStep + 1));
  std::vector<std::size_t> pieceEnds;
  std::size_t kept = 0;
  for (std::int64_t start = 0; start < size; start += pieceLength) {
    show();
    const std::int64_t end = std::min(size, start + pieceLength);
    const std::int64_t textEnd = std::min(size, end + Overlap);
    std::vector<saidx_t> sorted(static_cast<std::size_t>(textEnd - start));
    // The sorter fails when its own work space can't be had; what it left
    // in sorted is then no order of positions at all.
    SorterResult_ =
        divsufsort(source.data() + start, sorted.data(), static_cast<saidx_t>(textEnd - start));
    if (SorterResult_ != 0) {
      Suffixes_ = {};
      return;
    }
    for (saidx_t local : sorted) {
      const std::int64_t at = start + local;
      if (at < end && at % SampleStep == 0 && at + 1 < size) Suffixes_[kept++] = static_cast<saidx_t>(at);
    }
    pieceEnds.push_back(kept);
    ++step;
  }
  // Suffixes that agree on their first MergeDepth bytes are all equally good
  // matches; they are merged by position. The merges work in place, with
  // room for one piece on the side.
  constexpr std::int32_t MergeDepth = 1 << 16;
  const auto less = [&](std::int32_t a, std::int32_t b) {
    const std::int32_t limit = static_cast<std::int32_t>(
        std::min<std::int64_t>(MergeDepth, size - std::max(a, b)));
    const std::int32_t common = CommonLength(source.data() + a, source.data() + b, limit);
    if (common == limit) return limit < MergeDepth ? a > b : a < b;
    return source[a + common] < source[b + common];
  };
  for (std::size_t p = 1; p < pieceEnds.size(); ++p) {
    show();
    std::inplace_merge(Suffixes_.begin(), Suffixes_.begin() + static_cast<std::ptrdiff_t>(pieceEnds[p - 1]),
                       Suffixes_.begin() + static_cast<std::ptrdiff_t>(pieceEnds[p]), less);
    step += static_cast<std::int64_t>(p) + 1;
  }
  show();
  // Suffixes with the same first two bytes stand together.
  BucketStart_.assign(65536, 0);
  BucketCount_.assign(65536, 0);
  for (std::size_t i = 0; i < Suffixes_.size(); ++i) {
    const std::int32_t at = Suffixes_[i];
    const int key = source[at] << 8 | source[at + 1];
    if (BucketCount_[key]++ == 0) BucketStart_[key] = static_cast<std::int32_t>(i);
  }
}

std::int32_t TSourceIndex::Longest(TBytes target, std::int32_t from, std::int32_t& position) const {
  const std::int32_t wanted = static_cast<std::int32_t>(target.size()) - from;
  if (wanted < 2 || Suffixes_.empty()) return 0;
  const std::uint8_t* t = target.data() + from;
  const int key = t[0] << 8 | t[1];
  const std::int32_t size = static_cast<std::int32_t>(Source_.size());
  const std::int32_t first = BucketStart_[key];
  const std::int32_t end = first + BucketCount_[key];
  std::int32_t low = first;
  std::int32_t high = end;
  // Lower bound of the target in [low, high). lowCommon and highCommon are
  // the common lengths with the neighbours just outside the range, so the
  // smaller one is common to every suffix inside it.
  std::int32_t lowCommon = 2;
  std::int32_t highCommon = 2;
  while (low < high) {
    const std::int32_t middle = low + (high - low) / 2;
    const std::int32_t start = Suffixes_[middle];
    const std::int32_t known = std::min(lowCommon, highCommon);
    const std::int32_t limit = std::min(wanted, size - start);
    const std::int32_t common =
        known + CommonLength(t + known, Source_.data() + start + known, limit - known);
    if (common == wanted) {
      high = middle;  // the target is a prefix of this suffix
      highCommon = common;
    } else if (common == size - start || Source_[start + common] < t[common]) {
      low = middle + 1;
      lowCommon = common;
    } else {
      high = middle;
      highCommon = common;
    }
  }
  std::int32_t best = 0;
  for (std::int32_t at : {low - 1, low}) {
    if (at < first || at >= end) continue;
    const std::int32_t start = Suffixes_[at];
    const std::int32_t common =
        2 + CommonLength(t + 2, Source_.data() + start + 2, std::min(wanted, size - start) - 2);
    if (common > best) {
      best = common;
      position = start;
    }
  }
  return best;
}

std::int64_t TPlanCost::StreamBytes() const {
  return NumberBytes + (FlagBits + 7) / 8 + (SignBits + 7) / 8 + InsertBytes + AddBytes;
}

std::vector<TAlignedRegion> FindRegions(const TSourceIndex& index, TBytes source, TBytes target,
                                        TProgress* progress) {
  std::vector<TAlignedRegion> regions;
  const std::int64_t oldSize = static_cast<std::int64_t>(source.size());
  const std::int64_t newSize = static_cast<std::int64_t>(target.size());
  if (oldSize == 0 || newSize == 0) return regions;
  const auto oldByte = [&](std::int64_t at) -> int { return at >= 0 && at < oldSize ? source[at] : -1; };

  // The walk keeps the last alignment (lastOffset: source minus target
  // position) and counts how many of the next bytes it would match
  // (oldScore). A fresh match replaces it only when it beats that count by
  // more than a few bytes; then the stretch behind is closed: extended
  // forward under the old alignment and backward under the new one as far as
  // at least half of the bytes agree.
  // The index holds every SampleStep-th source position, so a match that
  // starts elsewhere shows at one of the next target positions; each is
  // searched once and kept for the positions before it.
  constexpr std::int32_t Step = TSourceIndex::SampleStep;
  std::array<std::int64_t, Step> cachedAt;
  std::array<std::int32_t, Step> cachedLength{};
  std::array<std::int32_t, Step> cachedPosition{};
  cachedAt.fill(-1);
  const auto longestAt = [&](std::int64_t at, std::int32_t& found) -> std::int64_t {
    std::int64_t best = 0;
    for (std::int32_t ahead = 0; ahead < Step && at + ahead < newSize; ++ahead) {
      const std::int64_t from = at + ahead;
      const std::size_t slot = static_cast<std::size_t>(from % Step);
      if (cachedAt[slot] != from) {
        cachedAt[slot] = from;
        cachedLength[slot] = index.Longest(target, static_cast<std::int32_t>(from), cachedPosition[slot]);
      }
      const std::int64_t start = std::int64_t{cachedPosition[slot]} - ahead;
      if (cachedLength[slot] == 0 || start < 0 || cachedLength[slot] + ahead <= best) continue;
      if (CommonLength(target.data() + at, source.data() + start, ahead) != ahead) continue;
      best = cachedLength[slot] + ahead;
      found = static_cast<std::int32_t>(start);
    }
    return best;
  };

  std::int64_t scan = 0;
  std::int64_t length = 0;
  std::int64_t lastScan = 0;
  std::int64_t lastPosition = 0;
  std::int64_t lastOffset = 0;
  std::int32_t position = 0;
  while (scan < newSize) {
    std::int64_t oldScore = 0;
    std::int64_t scoreEnd = scan += length;
    for (; scan < newSize; ++scan) {
      if ((scan & 0xFFFF) == 0 && progress != nullptr) progress->Show(TStage::Matching, scan, newSize);
      length = longestAt(scan, position);
      // The index holds only some source positions; the run that the last
      // alignment still matches here counts as a match too.
      const std::int64_t aligned = scan + lastOffset;
      if (aligned >= 0 && aligned < oldSize) {
        const std::int64_t run = CommonLength(target.data() + scan, source.data() + aligned,
                                              static_cast<std::int32_t>(std::min(newSize - scan, oldSize - aligned)));
        if (run > length) {
          length = run;
          position = static_cast<std::int32_t>(aligned);
        }
      }
      for (; scoreEnd < scan + length; ++scoreEnd) {
        if (oldByte(scoreEnd + lastOffset) == target[scoreEnd]) ++oldScore;
      }
      if ((length == oldScore && length != 0) || length > oldScore + 8) break;
      if (oldByte(scan + lastOffset) == target[scan]) --oldScore;
    }
    if (length == oldScore && scan != newSize) continue;

    std::int64_t forward = 0;
    {
      std::int64_t matches = 0;
      std::int64_t best = 0;
      for (std::int64_t i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
        if (source[lastPosition + i] == target[lastScan + i]) ++matches;
        ++i;
        if (matches * 2 - i > best * 2 - forward) {
          best = matches;
          forward = i;
        }
      }
    }
    std::int64_t backward = 0;
    if (scan < newSize) {
      std::int64_t matches = 0;
      std::int64_t best = 0;
      for (std::int64_t i = 1; scan >= lastScan + i && position >= i; ++i) {
        if (source[position - i] == target[scan - i]) ++matches;
        if (matches * 2 - i > best * 2 - backward) {
          best = matches;
          backward = i;
        }
      }
    }
    if (lastScan + forward > scan - backward) {
      // The two extensions overlap: split where the bytes agree best.
      const std::int64_t overlap = lastScan + forward - (scan - backward);
      std::int64_t score = 0;
      std::int64_t bestScore = 0;
      std::int64_t split = 0;
      for (std::int64_t i = 0; i < overlap; ++i) {
        if (target[lastScan + forward - overlap + i] == source[lastPosition + forward - overlap + i]) {
          ++score;
        }
        if (target[scan - backward + i] == source[position - backward + i]) --score;
        if (score > bestScore) {
          bestScore = score;
          split = i + 1;
        }
      }
      forward += split - overlap;
      backward -= split;
    }
    if (forward > 0) {
      regions.push_back({static_cast<std::int32_t>(lastScan),
                         static_cast<std::int32_t>(lastPosition),
                         static_cast<std::int32_t>(forward)});
    }
    lastScan = scan - backward;
    lastPosition = position - backward;
    lastOffset = position - scan;
  }
  return regions;
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

TDeltaPlan PlanDelta(TBytes source, TBytes target, const std::vector<TCopyUnit>& copies,
                     std::uint16_t groupLength, std::uint8_t blockLength, bool encode,
                     bool keepOps, std::int32_t fixedAddCount) {
  TPlanner planner(source, target, copies, groupLength, blockLength, encode, keepOps,
                   fixedAddCount);
  return planner.Run();
}

namespace {

// Bytes the streams take once compressed by LZMA at its fastest preset, with
// a 64 KiB dictionary (1.5 MB of work space): a stand-in for what xz and the
// like leave of a patch. Counting symbols alone misses what matters most
// there: runs of zero add bytes, and repeated number patterns, cost next to
// nothing once compressed. -1 when the compressor can't start.
std::int64_t CompressedBytes(const TDeltaStreams& streams) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 0)) return -1;
  options.dict_size = 1 << 16;
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream z = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&z, filters) != LZMA_OK) return -1;
  std::array<std::uint8_t, 1 << 16> out;
  std::int64_t total = 0;
  lzma_ret status = LZMA_OK;
  const auto run = [&](lzma_action action) {
    z.next_out = out.data();
    z.avail_out = out.size();
    status = lzma_code(&z, action);
    total += static_cast<std::int64_t>(out.size() - z.avail_out);
  };
  for (const auto& stream : streams) {
    z.next_in = stream.data();
    z.avail_in = stream.size();
    while (z.avail_in > 0 && status == LZMA_OK) run(LZMA_RUN);
  }
  while (status == LZMA_OK) run(LZMA_FINISH);
  lzma_end(&z);
  return status == LZMA_STREAM_END ? total : -1;
}

// The GroupLength of a plan, and the add count of every group (-1: the
// planner chooses one per group).
struct TPlanShape {
  std::uint16_t Group;
  std::int32_t AddCount;
};

}  // namespace

void MakeDelta(TBytes source, TBytes target, const std::vector<TAlignedRegion>& regions,
               TProgress* progress, TDeltaParams& params, TDeltaStreams& streams) {
  // Plans a few parameter sets and keeps the one that compresses best, as
  // long as its raw size stays within a fifth of the new file: a patch is
  // shipped compressed in archives, but a self-applying one goes out as it
  // is. Where no plan is that small, the smallest raw plan is kept. Inserts
  // are cut into the longest pieces: fewer pieces never take more flag bits.
  // Most often a few add bytes after every copy win: they hold the small
  // differences inside aligned regions (changed addresses in code), mostly
  // zeros, which compress to almost nothing.
  // Exact runs of two bytes and more are copies: taking single bytes too
  // gains a few tenths of a percent at most and doubles the planning time.
  constexpr std::int32_t MinRun = 2;
  constexpr std::array<TPlanShape, 5> Shapes = {{{0, 2}, {0, 3}, {0, 4}, {16, -1}, {64, -1}}};
  constexpr std::uint8_t Block = 255;
  const std::int64_t rawLimit = static_cast<std::int64_t>(target.size()) / 5;
  TDeltaPlan bestWithin;  // compresses best among plans within rawLimit
  std::int64_t bestWithinBytes = -1;
  TDeltaPlan bestRaw;  // fewest raw bytes
  std::int64_t bestRawBytes = -1;
  std::int64_t tried = 0;
  const std::vector<TCopyUnit> copies = ExactRuns(source, target, regions, MinRun);
  for (const TPlanShape& shape : Shapes) {
    if (progress != nullptr) progress->Show(TStage::Planning, tried++, Shapes.size());
    TDeltaPlan plan =
        PlanDelta(source, target, copies, shape.Group, Block, true, false, shape.AddCount);
    const std::int64_t raw = plan.Cost.StreamBytes();
    if (raw <= rawLimit) {
      std::int64_t packed = CompressedBytes(plan.Streams);
      if (packed < 0) packed = raw;
      if (bestWithinBytes < 0 || packed < bestWithinBytes) {
        bestWithinBytes = packed;
        bestWithin = std::move(plan);
        bestRaw = TDeltaPlan();  // no longer a candidate; its room is given back
      }
      continue;
    }
    if (bestWithinBytes < 0 && (bestRawBytes < 0 || raw < bestRawBytes)) {
      bestRawBytes = raw;
      bestRaw = std::move(plan);
    }
  }
  TDeltaPlan& best = bestWithinBytes >= 0 ? bestWithin : bestRaw;
  params = best.Params;
  streams = std::move(best.Streams);
}

}  // namespace mendrix
