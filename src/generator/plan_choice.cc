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
#include <utility>

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

}  // namespace

TDeltaPlan MakeDelta(std::span<const std::uint8_t> source, std::span<const std::uint8_t> target,
                     const std::vector<TAlignedRegion>& regions, TProgress* progress) {
  const std::int64_t rawLimit = static_cast<std::int64_t>(target.size()) / 5;
  TDeltaPlan bestWithin;  // compresses best among plans within rawLimit
  std::int64_t bestWithinBytes = -1;
  TDeltaPlan bestRaw;  // fewest raw bytes
  std::int64_t bestRawBytes = -1;
  std::int64_t tried = 0;
  const std::vector<TCopyUnit> copies = ExactRuns(source, target, regions, MinRun);
  for (const TPlanShape& shape : Shapes) {
    if (progress != nullptr) progress->Show(TStage::Planning, tried++, Shapes.size());
    TDeltaPlan plan = PlanDelta(source, target, copies, shape);
    if (!plan.Error.empty()) return plan;
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
  return std::move(bestWithinBytes >= 0 ? bestWithin : bestRaw);
}

}  // namespace mendrix
