// Delta application: rebuilds one variant's result from a source file and the
// variant's five delta streams into a new output work file.
#ifndef MENDRIX_DELTA_APPLY_H_
#define MENDRIX_DELTA_APPLY_H_

#include <array>
#include <cstdint>
#include <string>

#include "delta/streams.h"
#include "fileio/fileio.h"
#include "patchfile/patch_context.h"
#include "platform/platform.h"

namespace mendrix {

// The two big buffers of the rebuilding.
constexpr std::int32_t OutputBufferSize = 256 * 1024;
// The source is read through pages kept in a small direct-mapped cache:
// copies that jump back and forth over a few regions read each page once.
constexpr std::int32_t SourcePageSize = 8 * 1024;
constexpr std::int32_t SourcePageCount = 256;

// What the rebuilding keeps from one variant to the next for a whole run,
// owned by the run: the files the run made, the decoder, and the two big
// buffers, which fresh memory for every variant would cost more than
// rebuilding a small file does. One variant is rebuilt at a time. About
// 2.6 MiB: keep it on the heap.
struct TWorkState {
  TRunFiles Files;
  TDecoder Decoder;
  std::array<std::uint8_t, SourcePageCount * SourcePageSize + CopySlack> SourcePages;
  std::array<std::uint8_t, OutputBufferSize + CopySlack> OutputBuffer;
};

// One variant to apply: its record, where its streams begin in the patch,
// and the file it starts from.
struct TVariantJob {
  const TVariantInfo* Variant = nullptr;
  std::int32_t StreamOffset = 0;
  std::string SourcePath;
  // The first variant of a chain is tried on the user's file: its size and
  // checksum are checked (VerifySource), and a source that can't be opened
  // or doesn't match is a refusal, not a stop (Silent). Later variants
  // start from the chain's own work file.
  bool VerifySource = true;
  bool Silent = true;
  // The output never grows past TargetSize: a variant that tries is a
  // damaged patch.
  std::int32_t TargetSize = 0;
  TExcludeRange Exclude;  // of the source's checksum
};

// Where a variant's output goes, and what is learnt while it is written.
struct TVariantOutput {
  // Empty: a work file in the temp directory. Otherwise the output is a
  // result being staged: a new file beside this path, its directories made
  // first, private until it is complete.
  std::string StageBeside;
  // Set: the checksum of the output with Exclude left out is taken as the
  // bytes are written, so that the file needn't be read back.
  bool Check = false;
  TExcludeRange Exclude;
  // Set (with StageBeside): the complete output is finished before it is
  // closed, as FinishFile does, with this date and the owner and
  // permissions of Model.
  bool Finish = false;
  std::uint32_t Stamp = 0;
  std::string Model;

  std::string Name;       // the closed output file
  std::uint32_t Crc = 0;  // with Check
  std::int64_t Size = 0;
  bool Finished = false;  // with Finish: it was, and Identity is the file's
  TOsFileIdentity Identity;
};

enum class TApplyResult {
  Applied,
  SourceRefused,  // silent only: the source didn't open or match
  CantStage,      // the staged file could not be created (nothing was)
};

// Applies job's variant (streams in context.PatchFile) to its source, into
// the output to describes: Applied, with the closed output file in to.Name,
// which the caller owns. SourceRefused only with job.Silent, when the source
// can't be opened or (VerifySource) its size or checksum differ; nothing is
// printed or created then. CantStage when the staged file could not be
// created. Every other failure is a FatalStop or InternalError.
TApplyResult ApplyVariantTo(TPatchContext& context, TWorkState& work, const TVariantJob& job,
                            TVariantOutput& to);

}  // namespace mendrix

#endif  // MENDRIX_DELTA_APPLY_H_
