// Opening a patch: the container found from the end of the file, its header,
// notice and backup-directory name.
#ifndef MENDRIX_PATCHFILE_CONTAINER_H_
#define MENDRIX_PATCHFILE_CONTAINER_H_

#include <string>

#include "fileio/fileio.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Opens the patch file at path, validates trailer and header, reads the
// notice and BackupName into context and leaves context.PatchFile open at
// EntryTableOffset. Every failure is a FatalStop with its own message.
// Nothing is printed: showing the notice is the caller's.
void OpenPatch(TPatchContext& context, const std::string& path);

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
