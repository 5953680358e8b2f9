// A patch is shipped compressed in archives, but a self-applying one goes
// out as it is: so among the plans whose raw size stays within a fifth of
// the new file the one that compresses best is kept, and where no plan is
// that small, the smallest raw plan. Inserts are cut into the longest
// pieces: fewer pieces never take more flag bits. Most often a few add
// bytes after every copy win: they hold the small differences inside
// aligned regions (changed addresses in code), mostly zeros, which compress
// to almost nothing.
#include "generator/plan_choice.h"

#include <lzma.h>

#include <array>
#include <mutex>
#include <utility>

#include "generator/parallel_tasks.h"
#include "generator/progress.h"

namespace mendrix {

namespace {

// Exact runs of two bytes and more are copies: taking single bytes too
// gains a few tenths of a percent at most and doubles the planning time.
constexpr std::int32_t MinRun = 2;

constexpr std::array<TPlanShape, 5> Shapes = {{
    {0, 255, 2},
    {0, 255, 3},
    {0, 255, 4},
    {16, 255, -1},
    {64, 255, -1},
}};

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

// The plans kept so far, whichever order they come in: among those within
// the raw limit the one that compresses best, the first shape on a tie; and
// while none is within, the fewest raw bytes, again the first on a tie.
// What it keeps is the same as when the shapes are tried in turn.
struct TPlanPick {
  std::int64_t RawLimit = 0;
  TDeltaPlan Within;
  std::int64_t WithinBytes = -1;
  std::size_t WithinShape = 0;
  TDeltaPlan Raw;
  std::int64_t RawBytes = -1;
  std::size_t RawShape = 0;
  TDeltaPlan Failed;  // the first shape that could not be planned
  std::size_t FailedShape = Shapes.size();

  // packed: the plan's compressed bytes, for a plan within the limit.
  void Offer(std::size_t shape, TDeltaPlan& plan, std::int64_t packed) {
    const std::int64_t raw = plan.Cost.StreamBytes();
    if (!plan.Error.empty()) {
      if (shape < FailedShape) {
        FailedShape = shape;
        Failed = std::move(plan);
      }
    } else if (raw <= RawLimit) {
      if (WithinBytes < 0 || packed < WithinBytes ||
          (packed == WithinBytes && shape < WithinShape)) {
        WithinBytes = packed;
        WithinShape = shape;
        Within = std::move(plan);
        Raw = TDeltaPlan();  // no longer a candidate; its room is given back
      }
    } else if (WithinBytes < 0 &&
               (RawBytes < 0 || raw < RawBytes || (raw == RawBytes && shape < RawShape))) {
      RawBytes = raw;
      RawShape = shape;
      Raw = std::move(plan);
    }
  }

  TDeltaPlan Kept() {
    if (FailedShape < Shapes.size()) return std::move(Failed);
    return std::move(WithinBytes >= 0 ? Within : Raw);
  }
};

}  // namespace

TDeltaPlan MakeDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
                     const std::vector<TAlignedRegion>& regions, TProgress* progress, int jobs,
                     std::int64_t threadsFrom) {
  TPlanPick pick;
  pick.RawLimit = static_cast<std::int64_t>(target.size()) / 5;
  std::mutex lock;
  const std::vector<TCopyUnit> copies = ExactRuns(source, target, regions, MinRun);
  const auto planShape = [&](std::size_t k) {
    TDeltaPlan plan = PlanDelta(source, target, copies, Shapes[k]);
    std::int64_t packed = -1;
    if (plan.Error.empty() && plan.Cost.StreamBytes() <= pick.RawLimit) {
      packed = CompressedBytes(plan.Streams);
      if (packed < 0) packed = plan.Cost.StreamBytes();
    }
    const std::lock_guard<std::mutex> guard(lock);
    pick.Offer(k, plan, packed);
  };
  constexpr auto ShapeCount = static_cast<std::int64_t>(Shapes.size());
  if (progress != nullptr) progress->Show(TStage::Planning, 0, ShapeCount);
  // Each shape planned at once holds its plan and an LZMA encoder.
  const int planJobs = static_cast<std::int64_t>(target.size()) >= threadsFrom ? jobs : 1;
  RunTasks(Shapes.size(), planJobs, planShape, [&](std::size_t finished) {
    if (progress != nullptr) {
      progress->Show(TStage::Planning, static_cast<std::int64_t>(finished), ShapeCount);
    }
  });
  return pick.Kept();
}

}  // namespace mendrix
