// Delta application: rebuilds one variant's result from a source file and the
// variant's five delta streams into a new output work file.
#ifndef MENDRIX_DELTA_APPLY_H_
#define MENDRIX_DELTA_APPLY_H_

#include <cstdint>
#include <string>

#include "patchfile/patch_context.h"

namespace mendrix {

// Applies variant (streams at streamOffset of context.PatchFile) to
// sourcePath. True: the result is in the closed work file outputName, which
// the caller owns. False only with silent set, when the source can't be
// opened or (verifySource) its size or checksum differ; nothing is printed
// or created then. Every other failure is a FatalStop or InternalError. The
// output never grows past targetSize: a variant that tries is a damaged patch.
bool ApplyVariant(TPatchContext& context, const TVariantInfo& variant, std::int32_t streamOffset,
                  const std::string& sourcePath, std::string& outputName, bool verifySource,
                  bool silent, std::int32_t targetSize, const TExcludeRange& exclude);

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

  std::string Name;        // the closed output file
  std::uint32_t Crc = 0;   // with Check
  std::int64_t Size = 0;
  bool Finished = false;      // with Finish: it was, and Identity is the file's
  TOsFileIdentity Identity;
};

enum class TApplyResult {
  Applied,
  SourceRefused,  // silent only: the source didn't open or match
  CantStage,      // the staged file could not be created (nothing was)
};

// ApplyVariant with the output as output says.
TApplyResult ApplyVariantTo(TPatchContext& context, const TVariantInfo& variant,
                            std::int32_t streamOffset, const std::string& sourcePath,
                            bool verifySource, bool silent, std::int32_t targetSize,
                            const TExcludeRange& exclude, TVariantOutput& output);

}  // namespace mendrix

#endif  // MENDRIX_DELTA_APPLY_H_
