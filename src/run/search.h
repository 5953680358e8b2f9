// The search for targets in the current directory and on the drives.
#ifndef MENDRIX_RUN_SEARCH_H_
#define MENDRIX_RUN_SEARCH_H_

#include <string>

#include "delta/apply.h"
#include "install/staging.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Searches path (ending in a backslash) for a candidate that passes a quiet
// test and that the user accepts; it then stands in paths. depth 0: no descent; shownFrom:
// characters of path already on the screen.
bool SearchTargets(TPatchContext& context, TWorkState& work, TRunPaths& paths,
                   const std::string& path, int depth, int shownFrom);

}  // namespace mendrix

#endif  // MENDRIX_RUN_SEARCH_H_
