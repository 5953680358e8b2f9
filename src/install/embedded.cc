// Embedded files.
//
// Record after the entry's name: EmbeddedLength (u32), EmbeddedTime (u32,
// DOS date-time), then EmbeddedLength content bytes. The content is written
// to a new file beside EmbeddedPath, dated, and only then renamed onto
// EmbeddedPath in one step, so no half-written file ever stands there. A file
// already at EmbeddedPath is replaced without a backup.
#include "install/embedded.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "console/console.h"
#include "patchfile/byte_order.h"
#include "install/entries.h"

namespace mendrix {

namespace {

constexpr std::int32_t EmbeddedPiece = 60000;  // bytes per read and write of the content
std::array<std::uint8_t, EmbeddedPiece> EmbeddedBuffer;

[[noreturn]] void StopWriting(TDiskFile& file, const std::string& name) {
  CloseDiskFile(file);
  (void)TakeIoStatus();  // the write failed already
  DeleteQuietly(name);
  FatalStop("Error writing embedded file!");
}

}  // namespace

void WriteEmbeddedFile(TPatchContext& context, bool testOnly) {
  std::array<std::uint8_t, EmbeddedRecordSize> record;
  if (!ReadBlock(context.PatchFile, record.data(), EmbeddedRecordSize)) {
    FatalStop("Error, can't read from patchfile?!");
  }
  const std::uint32_t length = LoadU32Le(record.data());
  const std::uint32_t stamp = LoadU32Le(record.data() + 4);

  if (testOnly) {
    // Step over the content; whether it is all there shows when it is written.
    const std::int64_t next = std::int64_t{GetPosition(context.PatchFile)} + length;
    if (next < 0 || next > std::numeric_limits<std::int32_t>::max()) {
      FatalStop("Error, patch corrupted!");
    }
    SeekTo(context.PatchFile, static_cast<std::int32_t>(next));
    return;
  }

  const std::string& path = context.EmbeddedPath;
  MakeDirectories(path);
  TDiskFile file;
  std::string name;
  if (!CreateBesideFile(path, file, name)) FatalStop("Error writing embedded file!");

  for (std::uint32_t remaining = length; remaining > 0;) {
    const std::int32_t piece =
        static_cast<std::int32_t>(std::min<std::uint32_t>(remaining, EmbeddedPiece));
    if (!ReadBlock(context.PatchFile, EmbeddedBuffer.data(), piece) ||
        !WriteBlock(file, EmbeddedBuffer.data(), piece)) {
      StopWriting(file, name);
    }
    remaining -= static_cast<std::uint32_t>(piece);
  }
  // Dated through the handle still open for writing; a stamp the system
  // refuses leaves the file with the time of writing.
  (void)SetFileStamp(file, stamp);
  CloseDiskFile(file);
  if (TakeIoStatus() != 0) StopWriting(file, name);

  TDiskFile written;
  written.Path = name;
  ReplaceDiskFile(written, path);
  if (TakeIoStatus() != 0) {
    DeleteQuietly(name);
    FatalStop("Error writing embedded file!");
  }
  ForgetCreatedFile(name);
}

}  // namespace mendrix
