// Embedded files.
//
// Record after the entry's name: EmbeddedLength (u32), EmbeddedTime (u32,
// DOS date-time), then EmbeddedLength content bytes. The content is staged
// like any result: written to a new file beside EmbeddedPath, dated, and
// renamed onto EmbeddedPath in one step by the commit, so no half-written
// file ever stands there. A file already at EmbeddedPath is replaced without
// a backup.
#include "install/embedded.h"

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "console/console.h"
#include "install/staging.h"
#include "patchfile/byte_order.h"

namespace mendrix {

TEmbeddedRecord ReadEmbeddedRecord(TPatchContext& context) {
  std::array<std::uint8_t, EmbeddedRecordSize> bytes;
  if (!ReadBlock(context.PatchFile, bytes.data(), EmbeddedRecordSize)) {
    FatalStop("Error, can't read from patchfile?!");
  }
  TEmbeddedRecord record;
  record.Length = LoadU32Le(bytes.data());
  record.Stamp = LoadU32Le(bytes.data() + 4);
  return record;
}

void SkipEmbeddedContent(TPatchContext& context, const TEmbeddedRecord& record) {
  // Whether the content is all there shows only when it is read.
  const std::int64_t next = std::int64_t{GetPosition(context.PatchFile)} + record.Length;
  if (next < 0 || next > std::numeric_limits<std::int32_t>::max()) {
    FatalStop("Error, patch corrupted!");
  }
  SeekTo(context.PatchFile, static_cast<std::int32_t>(next));
}

bool StageEmbeddedContent(TPatchContext& context, TRunFiles& run, const TEmbeddedRecord& record,
                          const std::string& model, std::string& staged,
                          TOsFileIdentity& identity) {
  return StageFrom(run, context.PatchFile, record.Length, context.EmbeddedPath, model, record.Stamp,
                   staged, identity);
}

}  // namespace mendrix
