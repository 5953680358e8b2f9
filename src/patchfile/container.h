// Opening a patch: the container found from the end of the file, its header,
// notice and backup-directory name.
#ifndef MENDRIX_PATCHFILE_CONTAINER_H_
#define MENDRIX_PATCHFILE_CONTAINER_H_

#include <string>

#include "fileio/fileio.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Opens options.PatchName, validates trailer and header, reads the notice and
// BackupName, prints the notice, waits for a key (at most 10 seconds) and
// leaves context.PatchFile open at EntryTableOffset. Every failure is a
// FatalStop with its own message.
void OpenPatch(TPatchContext& context, const TRunOptions& options);

// The first part of OpenPatch, for a reader that only looks at the patch:
// the same checks with the same messages (each failure a FatalStop), the
// notice and BackupName read, nothing printed and no key waited for. Leaves
// context.PatchFile open just after the backup name, where the entry table
// starts; EntryTableOffset is left for the caller to take.
void ReadPatchContainer(TPatchContext& context, const TRunOptions& options);

// Reads a short string (one length byte, then that many bytes). False when a
// read fails; text is then empty.
bool ReadShortString(TDiskFile& file, std::string& text);

// Prints a notice up to its first "#%" marker; zero bytes are line breaks and
// the byte just past the end counts as a zero byte.
void PrintNotice(const std::string& notice);

// True when a name from a patch stays below the directory it is joined to:
// not empty, not absolute (no leading slash or backslash, no drive colon) and
// no ".." component.
bool IsContainedName(const std::string& name);

}  // namespace mendrix

#endif  // MENDRIX_PATCHFILE_CONTAINER_H_
