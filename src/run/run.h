// The run driver: one whole run once the options are settled.
#ifndef MENDRIX_RUN_RUN_H_
#define MENDRIX_RUN_RUN_H_

#include "patchfile/patch_context.h"

namespace mendrix {

// Opens the patch, settles the temp directory, searches for targets when
// asked to, tests the patch, and applies it (or reports, in test mode).
// Returns only after a complete run; every failure is a fatal stop.
void RunPatch(TRunOptions& options);

}  // namespace mendrix

#endif  // MENDRIX_RUN_RUN_H_
