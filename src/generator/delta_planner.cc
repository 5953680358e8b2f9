// The planner walks the copies in target order with the state the decoder
// will keep (what has been written, where the last run ended, the group
// countdown), so that it knows each operation's exact cost. Where a group
// starts it may try each add count worth trying on the group's copies and
// keep the cheapest. Every operation it keeps goes through the writer's
// encoder.
#include "generator/delta_planner.h"

#include <algorithm>
#include <array>

namespace mendrix {

namespace {

using TBytes = std::span<const std::uint8_t>;

class TPlanner {
 public:
  // Plans into plan, whose Params must already be set.
  TPlanner(TBytes source, TBytes target, const std::vector<TCopyUnit>& copies,
           const TPlanShape& shape, TDeltaPlan& plan);
  void Run();

 private:
  // The decoder's state between operations, and what the plan has cost.
  struct TState {
    std::int32_t Produced = 0;  // target bytes written
    std::int32_t RunEnd = 0;    // where the last copy's run ends in the address space
    TCopyGroup Group;
    bool HaveCopy = false;
    std::int32_t RegionEnd = 0;  // of the last copy
    TPlanCost Cost;
  };

  // With emit, the operations are written to the streams; without, they
  // are only counted.
  void CountNumber(TState& state, std::int64_t value) const;
  void AddInsert(TState& state, std::int32_t from, std::int32_t length, bool emit);
  void EmitInsert(const TState& state, std::int32_t from, std::int32_t length);
  bool Step(TState& state, std::size_t i, std::int32_t addCount, bool emit);
  void EmitCopy(const TState& state, std::int32_t start, std::int32_t address, std::int32_t length);
  std::int32_t ChooseAddCount(const TState& state, std::size_t first);
  std::size_t AddCountCandidates(std::size_t first, std::size_t span,
                                 std::array<std::int32_t, 8>& candidates) const;
  std::int64_t TrialBits(const TState& state, std::size_t first, std::size_t span,
                         std::int32_t addCount);

  TBytes Source;
  TBytes Target;
  const std::vector<TCopyUnit>& Copies;
  std::int32_t SourceSize;
  std::int32_t TargetSize;
  int ByteLimit;  // of every number
  TPlanShape Shape;
  TDeltaPlan& Plan;
  TDeltaEncoder Encoder;
  // Room for the operation being written.
  std::vector<std::uint8_t> AddBytes;
  std::vector<std::uint8_t> InsertBytes;
  std::vector<bool> PieceFlags;
};

TPlanner::TPlanner(TBytes source, TBytes target, const std::vector<TCopyUnit>& copies,
                   const TPlanShape& shape, TDeltaPlan& plan)
    : Source(source),
      Target(target),
      Copies(copies),
      SourceSize(static_cast<std::int32_t>(source.size())),
      TargetSize(static_cast<std::int32_t>(target.size())),
      ByteLimit(NumberByteLimit(plan.Params.NumberLimit)),
      Shape(shape),
      Plan(plan),
      Encoder(plan.Params, plan.Streams) {}

void TPlanner::Run() {
  TState state;
  for (std::size_t i = 0; i < Copies.size(); ++i) {
    std::int32_t addCount = state.Group.AddCount;
    if (state.Group.CountByteDue()) {
      addCount = Shape.AddCount >= 0 ? Shape.AddCount : ChooseAddCount(state, i);
    }
    (void)Step(state, i, addCount, true);
  }
  if (state.Produced < TargetSize) {
    AddInsert(state, state.Produced, TargetSize - state.Produced, true);
  }
  Plan.Cost = state.Cost;
}

void TPlanner::CountNumber(TState& state, std::int64_t value) const {
  const TNumberSize size = NumberSize(value < 0 ? -value : value, ByteLimit);
  state.Cost.Bytes += size.Bytes;
  state.Cost.SignBits += size.SignBits;
  state.Cost.FlagBits += size.FlagBits;
}

// An insert of the target bytes [from, from + length).
void TPlanner::AddInsert(TState& state, std::int32_t from, std::int32_t length, bool emit) {
  // An insert longer than a number can hold goes in several.
  const auto most = static_cast<std::int32_t>(LargestMagnitude(ByteLimit));
  while (length > 0) {
    const std::int32_t part = std::min(length, most);
    CountNumber(state, -static_cast<std::int64_t>(part));
    state.Cost.Bytes += part;
    state.Cost.FlagBits += InsertPieceCount(part, Shape.BlockLength);
    if (emit) EmitInsert(state, from, part);
    from += part;
    length -= part;
    state.Produced += part;
  }
}

// The pieces of an insert. A piece that lies mostly in the aligned region
// of the last copy is stored as differences to the old bytes after that
// copy's run, which leaves mostly zeros; any other as it stands.
void TPlanner::EmitInsert(const TState& state, std::int32_t from, std::int32_t length) {
  if (!Plan.Error.empty()) return;
  InsertBytes.assign(Target.begin() + from, Target.begin() + from + length);
  PieceFlags.clear();
  const std::int64_t oldBase = std::int64_t{state.RunEnd} + state.Group.AddCount;
  for (std::int32_t offset = 0; offset < length;) {
    const std::int32_t piece = InsertPieceLength(length, offset, Shape.BlockLength);
    const std::int64_t old = oldBase + offset;
    const std::int64_t pieceStart = std::int64_t{from} + offset;
    const std::int64_t aligned =
        std::min<std::int64_t>(pieceStart + piece, state.RegionEnd) - pieceStart;
    const bool literal = !state.HaveCopy || old + piece > SourceSize || aligned * 2 < piece;
    if (!literal) {
      for (std::int32_t k = 0; k < piece; ++k) {
        InsertBytes[offset + k] =
            static_cast<std::uint8_t>(Target[from + offset + k] - Source[old + k]);
      }
    }
    PieceFlags.push_back(literal);
    offset += piece;
  }
  if (!Encoder.PutInsert(InsertBytes, PieceFlags, Plan.Error)) Plan.Streams = {};
}

// Copy i with addCount add bytes, if it still has bytes to copy once the
// target bytes already written are taken off its front and its run leaves
// room for the add bytes. Before it, the target bytes since the last
// operation go in an insert. False when the copy is dropped (its bytes are
// then written by a later insert).
bool TPlanner::Step(TState& state, std::size_t i, std::int32_t addCount, bool emit) {
  const TCopyUnit& unit = Copies[i];
  const std::int32_t skip = std::max(0, state.Produced - unit.TargetStart);
  if (skip >= unit.Length) return false;
  const std::int32_t start = unit.TargetStart + skip;
  const std::int32_t address = unit.SourceStart + skip;
  std::int32_t length = unit.Length - skip;
  // The old bytes after the run are read for the add bytes, so they must
  // lie in the source; the add bytes must not run past the target's end.
  length = std::min(length, SourceSize - addCount - address);
  length = std::min(length, TargetSize - addCount - start);
  if (length <= 0) return false;
  if (start > state.Produced) AddInsert(state, state.Produced, start - state.Produced, emit);
  CountNumber(state, length);
  CountNumber(state, address - state.RunEnd);
  if (state.Group.TakeCopy(addCount, Shape.GroupLength)) state.Cost.Bytes += 1;
  state.Cost.Bytes += state.Group.AddCount;
  if (emit) EmitCopy(state, start, address, length);
  state.RunEnd = address + length;
  state.RegionEnd = unit.RegionEnd;
  state.Produced = start + length + state.Group.AddCount;
  state.HaveCopy = true;
  return true;
}

// A copy of length bytes from address to the target at start, with the
// group's add bytes: the differences of the bytes after it to the old bytes
// after its run.
void TPlanner::EmitCopy(const TState& state, std::int32_t start, std::int32_t address,
                        std::int32_t length) {
  if (!Plan.Error.empty()) return;
  AddBytes.resize(static_cast<std::size_t>(state.Group.AddCount));
  const std::int32_t after = start + length;
  for (std::int32_t k = 0; k < state.Group.AddCount; ++k) {
    AddBytes[k] = static_cast<std::uint8_t>(Target[after + k] - Source[address + length + k]);
  }
  if (!Encoder.PutCopy(length, address - state.RunEnd, AddBytes, Plan.Error)) Plan.Streams = {};
}

// The add count for the group that starts at copy first: the one that makes
// the group's copies, and what they leave to insert, cheapest.
std::int32_t TPlanner::ChooseAddCount(const TState& state, std::size_t first) {
  // One count byte may serve the whole variant.
  const std::size_t span = Shape.GroupLength == 0 ? Copies.size() - first : Shape.GroupLength;
  std::array<std::int32_t, 8> candidates{};
  const std::size_t candidateCount = AddCountCandidates(first, span, candidates);
  if (candidateCount == 1) return 0;
  std::int32_t best = 0;
  std::int64_t bestBits = -1;
  for (std::size_t c = 0; c < candidateCount; ++c) {
    const std::int64_t bits = TrialBits(state, first, span, candidates[c]);
    if (bestBits < 0 || bits < bestBits) {
      bestBits = bits;
      best = candidates[c];
    }
  }
  return best;
}

// The add counts worth a trial for a group of span copies from first (the
// first candidate, none, is already in candidates): for the whole variant a
// fixed set; otherwise the gaps that follow the group's copies. Returns how
// many there are.
std::size_t TPlanner::AddCountCandidates(std::size_t first, std::size_t span,
                                         std::array<std::int32_t, 8>& candidates) const {
  std::size_t candidateCount = 1;
  if (Shape.GroupLength == 0) {
    candidates = {0, 1, 2, 3, 4, 6, 8, 12};
    candidateCount = candidates.size();
  }
  const std::size_t count = Copies.size();
  for (std::size_t i = first; i < count && i - first < span && candidateCount < candidates.size();
       ++i) {
    const std::int32_t end = Copies[i].TargetStart + Copies[i].Length;
    const std::int32_t next = i + 1 < count ? Copies[i + 1].TargetStart : TargetSize;
    const std::int32_t gap = std::min(next - end, 255);
    if (gap <= 0) continue;
    const auto known = candidates.begin() + static_cast<std::ptrdiff_t>(candidateCount);
    if (std::find(candidates.begin(), known, gap) == known) candidates[candidateCount++] = gap;
  }
  return candidateCount;
}

// What the group of span copies from first costs with addCount add bytes,
// with the bytes it leaves before the next copy inserted.
std::int64_t TPlanner::TrialBits(const TState& state, std::size_t first, std::size_t span,
                                 std::int32_t addCount) {
  TState trial = state;
  trial.Cost = TPlanCost{};
  std::size_t made = 0;
  std::size_t i = first;
  for (; i < Copies.size() && made < span; ++i) {
    if (Step(trial, i, addCount, false)) ++made;
  }
  const std::int32_t next = i < Copies.size() ? Copies[i].TargetStart : TargetSize;
  if (next > trial.Produced) AddInsert(trial, trial.Produced, next - trial.Produced, false);
  return trial.Cost.Bits();
}

}  // namespace

std::int64_t TPlanCost::StreamBytes() const {
  return Bytes + (FlagBits + 7) / 8 + (SignBits + 7) / 8;
}

TDeltaPlan PlanDelta(TBytes source, TBytes target, const std::vector<TCopyUnit>& copies,
                     const TPlanShape& shape) {
  TDeltaPlan plan;
  plan.Params.GroupLength = shape.GroupLength;
  plan.Params.BlockLength = shape.BlockLength;
  plan.Params.VariantFlags = 0;  // AddMode on; NumberLimit the larger size
  plan.Params.NumberLimit =
      NumberLimitFor(plan.Params.VariantFlags, static_cast<std::int32_t>(source.size()),
                     static_cast<std::int32_t>(target.size()));
  TPlanner planner(source, target, copies, shape, plan);
  planner.Run();
  return plan;
}

}  // namespace mendrix
