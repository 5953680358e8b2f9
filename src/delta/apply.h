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

}  // namespace mendrix

#endif  // MENDRIX_DELTA_APPLY_H_
