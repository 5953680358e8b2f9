// Entry processing: the walk over the entry table that recognises each
// target's version, chains the variants and checks the result; with an
// install plan it also looks whether each result can be put in place and
// stages it beside its target (install/staging.h puts it there).
#ifndef MENDRIX_INSTALL_ENTRIES_H_
#define MENDRIX_INSTALL_ENTRIES_H_

#include <cstdint>
#include <string>

#include "delta/apply.h"
#include "fileio/fileio.h"
#include "install/staging.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// The two passes over the entries before a commit.
enum class TPass {
  // Prints nothing, and a problem that would stop the run is noted instead:
  // it tells whether the targets are in the patch's old version at all.
  QuietTest,
  // Prints each entry's line and stops at the first problem.
  Test,
};

// Walks the whole entry table from its first entry; nothing of the user's
// changes. True when the walk came to its end; false when a file entry
// matched no variant (and was not already patched), or a final check failed
// in the quiet test. With a plan, each entry is also looked at for whether
// it can be installed (plan->Check) and its result staged beside its target
// (plan->Stage), and the plan lists the entries for the commit. An entry
// that can't be installed stops the run with its message, or, in the quiet
// test, ends the walk with plan->Problem set and true.
bool ProcessEntries(TPatchContext& context, TWorkState& work, const TRunPaths& paths, TPass pass,
                    TInstallPlan* plan = nullptr);

// Sets where the entry just read goes (TargetPath or EmbeddedPath, below
// NewPath), and a single file's name, which is OldPath.
void PlaceEntry(TPatchContext& context, const TRunPaths& paths, std::uint8_t type);

// The lines of a test pass over targets whose every entry has just passed
// the same test quietly into plan: given without rebuilding anything again,
// and stopping at the entry that can't be installed, if there is one.
void RepeatTestPassLines(const TInstallPlan& plan);

// True when path holds a file of the given size whose checksum, with exclude
// left out, is crc.
bool FileMatches(const std::string& path, std::uint32_t size, std::uint32_t crc,
                 const TExcludeRange& exclude);

}  // namespace mendrix

#endif  // MENDRIX_INSTALL_ENTRIES_H_
