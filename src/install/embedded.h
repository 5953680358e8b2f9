// Embedded files: whole files carried in a tree patch.
#ifndef MENDRIX_INSTALL_EMBEDDED_H_
#define MENDRIX_INSTALL_EMBEDDED_H_

#include <cstdint>
#include <string>

#include "patchfile/patch_context.h"

namespace mendrix {

// The record after an embedded file's name.
struct TEmbeddedRecord {
  std::uint32_t Length = 0;  // content bytes that follow the record
  std::uint32_t Stamp = 0;   // DOS date-time, local time
};

// Reads the record at the patch file's position; FatalStop "Error, can't
// read from patchfile?!" when the patch ends before it is whole.
TEmbeddedRecord ReadEmbeddedRecord(TPatchContext& context);
// Steps over the content: the patch file then stands at the next entry.
void SkipEmbeddedContent(TPatchContext& context, const TEmbeddedRecord& record);
// Writes the content to a new staged file beside context.EmbeddedPath (its
// directories made first), dated and given the owner and permissions of the
// file at model (of a new file when model is empty). False when that fails
// (the patch ends inside the content, a write fails); nothing is left then.
bool StageEmbeddedContent(TPatchContext& context, TRunFiles& run, const TEmbeddedRecord& record,
                          const std::string& model, std::string& staged, TOsFileIdentity& identity);

}  // namespace mendrix

#endif  // MENDRIX_INSTALL_EMBEDDED_H_
