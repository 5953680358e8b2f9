// Entry processing: the walk over the entry table that recognises each
// target's version, chains the variants, checks the result and, unless only
// testing, backs up the old file and installs the new one.
#ifndef MENDRIX_INSTALL_ENTRIES_H_
#define MENDRIX_INSTALL_ENTRIES_H_

#include <cstdint>
#include <string>

#include "fileio/fileio.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Walks the whole entry table from its first entry. True when the walk came
// to its end; false when a file entry matched no variant (and was not already
// patched), or a final check failed with quiet on. testOnly changes nothing
// outside the temp directory; quiet prints nothing.
bool ProcessEntries(TPatchContext& context, const TRunOptions& options, bool testOnly, bool quiet);

// The lines of a test pass (ProcessEntries with testOnly on, quiet off) over
// targets whose every entry has just passed the same test quietly: the walk
// gives them without rebuilding anything again.
void RepeatTestPassLines(TPatchContext& context, const TRunOptions& options);

// Puts the finished result workFile in place at destination, dated with
// context.Entry.ResultTime: a complete copy is made beside the destination
// first, and only then is the old file moved out of the way (to backupPath,
// when that is not empty, else replaced) and the copy renamed into place in
// one step. When the old file can't be moved away and isn't already the
// result: FatalStop "Error, can't replace ..." with that file untouched.
void InstallResult(TPatchContext& context, const std::string& workFile,
                   const std::string& destination, const std::string& backupPath);

// Creates a new file beside destination (destination + ".DWX" + n, the first
// n at which nothing exists), remembered as one of the run's own files. False
// when no name could be created.
bool CreateBesideFile(const std::string& destination, TDiskFile& file, std::string& name);

// True when path holds a file of the given size whose checksum, with exclude
// left out, is crc.
bool FileMatches(const std::string& path, std::uint32_t size, std::uint32_t crc,
                 const TExcludeRange& exclude);

}  // namespace mendrix

#endif  // MENDRIX_INSTALL_ENTRIES_H_
