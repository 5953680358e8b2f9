// Reading the entry table: file entries, embedded files and the end marker.
#ifndef MENDRIX_PATCHFILE_ENTRY_TABLE_H_
#define MENDRIX_PATCHFILE_ENTRY_TABLE_H_

#include <cstdint>

#include "patchfile/patch_context.h"

namespace mendrix {

// Reads the entry at the current position of context.PatchFile into
// context (EntryName and the records; not the paths) and returns its type: EndEntryType,
// FileEntryType or EmbeddedEntryType (a single-file patch always gives FileEntryType, without a
// type byte). A file entry's streams are stepped over, their positions kept in StreamOffset; after
// an embedded entry the position is at its EmbeddedLength. A failed read, an unknown type, a name
// that escapes its directory or stream lengths that overflow: FatalStop with "Error, patch
// corrupted!".
std::uint8_t ReadEntry(TPatchContext& context);

}  // namespace mendrix

#endif  // MENDRIX_PATCHFILE_ENTRY_TABLE_H_
