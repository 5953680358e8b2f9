// Entry processing: the walk over the entry table that recognises each
// target's version, chains the variants, checks the result and, unless only
// testing, backs up the old file and installs the new one.
#ifndef MENDRIX_TARGET_ENTRIES_H_
#define MENDRIX_TARGET_ENTRIES_H_

#include <string>

#include "patchfile/patch_context.h"

namespace mendrix {

// Walks the whole entry table from its first entry. True when the walk came
// to its end; false when a file entry matched no variant (and was not already
// patched), or a final check failed with quiet on. testOnly changes nothing
// outside the temp directory; quiet prints nothing.
bool ProcessEntries(TPatchContext& context, const TRunOptions& options, bool testOnly, bool quiet);

// Deletes a file, ignoring every failure.
void DeleteQuietly(const std::string& path);

// Puts the finished result workFile in place at destination, dated with
// context.Entry.ResultTime: a complete copy is made beside the destination
// first, and only then is the old file moved out of the way and the copy
// renamed into place. Fatal stops on failure, with the user's file untouched.
void InstallResult(TPatchContext& context, const std::string& workFile,
                   const std::string& destination);

}  // namespace mendrix

#endif  // MENDRIX_TARGET_ENTRIES_H_
