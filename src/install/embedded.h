// Embedded files: whole files carried in a tree patch.
#ifndef MENDRIX_INSTALL_EMBEDDED_H_
#define MENDRIX_INSTALL_EMBEDDED_H_

#include "patchfile/patch_context.h"

namespace mendrix {

// Reads the embedded-file record after the entry's name and skips the content
// (testOnly) or writes it to context.EmbeddedPath with its directories and
// EmbeddedTime as last-write time. The patch file then stands at the next entry.
void WriteEmbeddedFile(TPatchContext& context, bool testOnly);

}  // namespace mendrix

#endif  // MENDRIX_INSTALL_EMBEDDED_H_
