// The run driver: one whole run once the options are settled.
#ifndef MENDRIX_RUN_RUN_H_
#define MENDRIX_RUN_RUN_H_

#include <string>

#include "install/staging.h"

namespace mendrix {

// What the command line asks for.
struct TRunOptions : TRunPaths {
  std::string PatchName;   // the patch file; the program's own file when SelfPatch
  bool TestMode = false;   // "-t": test only
  bool AutoScan = false;   // "-auto", or a self-applying patch: search for targets
  bool SelfPatch = false;  // the program file carries the patch
};

// Opens the patch, settles the temp directory, searches for targets when
// asked to, tests the patch, and applies it (or reports, in test mode).
// Returns only after a complete run; every failure is a fatal stop.
void RunPatch(TRunOptions& options);

}  // namespace mendrix

#endif  // MENDRIX_RUN_RUN_H_
