// libFuzzer target for the patch reader alone: the input is a patch file,
// read the way a run reads it (trailer, header, notice, backup name, then
// every entry of the entry table, embedded files stepped over) without the
// passes that rebuild and install files. The notice is printed, to nowhere;
// no key is waited for, so tens of thousands of inputs go through in a
// second.
//
// The input is not written anywhere: the program's own file layer opens and
// reads it through the platform layer, whose read-side calls serve the path
// MemoryPatchPath from the input's bytes (memory_patch.cc), so no system call
// is made for it.
//
// A fatal stop (a damaged patch) is an expected outcome: the exit hook
// throws and the read unwinds back here. A finding is a crash, a sanitizer
// report, a timeout, or one of these, which abort() here:
//   - an exit code other than 1 from a stop;
//   - a record the reader took that breaks what the passes rely on: a name
//     that leaves its directory, a variant table whose length is not
//     VariantCount, streams that start before the record that names them
//     or end past a signed 32-bit position;
//   - an entry table that the reader leaves without an end or a stop;
//   - the patch left open after a read, or a file descriptor taken;
//   - heap growth of more than HeapLimit during one read.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fileio/fileio.h"
#include "fuzz_support.h"
#include "install/embedded.h"
#include "memory_patch.h"
#include "patchfile/container.h"
#include "patchfile/entry_table.h"
#include "patchfile/patch_format.h"
#include "platform/platform.h"

namespace {

constexpr std::int64_t HeapLimit = 1 << 20;

using mendrix::fuzz::Finding;
using mendrix::fuzz::TExitRequest;

// The lowest free descriptor number: a descriptor that a read leaves open
// takes it.
int LowestFreeDescriptor() {
  const int probe = ::dup(0);
  ::close(probe);
  return probe;
}

// Checks one file entry as ReadEntry left it in the context.
void CheckFileEntry(const mendrix::TPatchContext& context, std::int32_t recordStart) {
  const std::size_t count = context.Entry.VariantCount;
  if (context.Variants.size() != count || context.VariantPath.size() != count ||
      context.VariantExclude.size() != count || context.StreamOffset.size() != count) {
    Finding("variant tables of " + std::to_string(context.Variants.size()) + " for a count of " +
            std::to_string(count));
  }
  if (context.TreeMode && !mendrix::IsContainedName(context.EntryName)) {
    Finding("entry name leaves its directory: " + context.EntryName);
  }
  std::int64_t previousEnd = recordStart;
  for (std::size_t i = 0; i < count; ++i) {
    if (context.TreeMode && !mendrix::IsContainedName(context.VariantPath[i])) {
      Finding("variant name leaves its directory: " + context.VariantPath[i]);
    }
    // Each variant's streams follow its own record, which follows the
    // streams of the variant before.
    const std::int64_t start = context.StreamOffset[i];
    if (start < previousEnd + mendrix::VariantInfoSize) Finding("streams start inside a record");
    std::int64_t end = start;
    for (const std::uint32_t length : context.Variants[i].StreamLength) end += length;
    if (end > INT32_MAX) Finding("streams end past a 32-bit position");
    previousEnd = end;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  mendrix::fuzz::QuietStandardStreams();

  (void)mendrix::OsSetExitHook({&mendrix::fuzz::ThrowOnExit, nullptr});
  mendrix::fuzz::InstallHeapCounter();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  mendrix::fuzz::SetMemoryPatch(data, size);
  const int lowestFree = LowestFreeDescriptor();
  mendrix::TPatchContext context;

  mendrix::fuzz::StartHeapCount();
  int exitCode = 0;
  try {
    mendrix::OpenPatch(context, mendrix::fuzz::MemoryPatchPath);
    mendrix::PrintNotice(context.Notice);
    // Every entry takes at least one byte, so a table that goes on for
    // longer than the input has been read in a loop.
    for (std::size_t entries = 0;; ++entries) {
      if (entries > size) Finding("entry table read past the input");
      const std::int32_t recordStart = mendrix::GetPosition(context.PatchFile);
      const std::uint8_t type = mendrix::ReadEntry(context);
      if (type == mendrix::EndEntryType) break;
      if (type == mendrix::FileEntryType) {
        CheckFileEntry(context, recordStart);
        // A single-file patch holds one entry.
        if (!context.TreeMode) break;
      } else if (type == mendrix::EmbeddedEntryType) {
        if (!mendrix::IsContainedName(context.EntryName)) {
          Finding("embedded name leaves its directory: " + context.EntryName);
        }
        const mendrix::TEmbeddedRecord record = mendrix::ReadEmbeddedRecord(context);
        mendrix::SkipEmbeddedContent(context, record);
      } else {
        Finding("entry type " + std::to_string(type));
      }
    }
  } catch (const TExitRequest& request) {
    exitCode = request.Code;
    if (exitCode != 1) Finding("exit code " + std::to_string(exitCode));
  }
  const std::int64_t heapPeak = mendrix::fuzz::StopHeapCount();
  if (heapPeak > HeapLimit)
    Finding("the read's heap grew by " + std::to_string(heapPeak) + " bytes");
  // A stop has closed every file of the layer already.
  if (exitCode == 0) mendrix::CloseDiskFile(context.PatchFile);
  (void)mendrix::TakeIoStatus();
  if (mendrix::fuzz::OpenMemoryPatches() != 0) Finding("patch left open by a read");
  if (::fcntl(lowestFree, F_GETFD) != -1) Finding("file descriptor left open by a read");
  return 0;
}
