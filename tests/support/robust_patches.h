// Small fixed targets and valid patches for them, shared by the robustness
// tests, the fuzz target and its seed-corpus maker. The patches are written
// with the project's patch writer and cover every record and operation kind:
// single-file and tree patches, embedded files (new ones and ones written
// over files of the tree), excluded ranges, chains of variants, renamed
// variants, copies from the source and from the output, add bytes with
// AddMode on and off, inserts with both piece flags, zero numbers, and every
// NumberLimit size (one to four magnitude bytes).
//
// No gtest here: the fuzz tools link this file too.
#ifndef MENDRIX_TESTS_SUPPORT_ROBUST_PATCHES_H_
#define MENDRIX_TESTS_SUPPORT_ROBUST_PATCHES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "writer/delta_encoder.h"

namespace mendrix::test {

using TByteVector = std::vector<std::uint8_t>;

// A file below a target directory; Name uses backslashes as the patch does.
struct TNamedFile {
  std::string Name;
  TByteVector Bytes;
};

// The old file of single-file patches (600 bytes).
TByteVector FixedOldFile();
// The old tree of tree patches: a.dat, sub\b.dat, c.txt and keep.bin.
std::vector<TNamedFile> FixedOldTree();

struct TRobustPatch {
  std::string Name;   // also the seed file's name
  bool Tree = false;  // applies to FixedOldTree (else to FixedOldFile)
  TByteVector Bytes;  // the whole patch file
  // Every file below the target after a successful apply with NewPath equal
  // to OldPath, sorted by name (a single-file patch: one file, Name "").
  std::vector<TNamedFile> After;
  // Byte ranges of the patch that hold embedded-file contents, as
  // (patch offset, length, file name); a change there changes that file.
  struct TEmbeddedSpan {
    std::size_t Offset = 0;
    std::size_t Length = 0;
    std::string Name;
  };
  std::vector<TEmbeddedSpan> Embedded;
};

// All seed patches; each applies to its fixed target. False (with error set)
// when one can't be built, which means the writer or these tables are wrong.
bool MakeRobustPatches(std::vector<TRobustPatch>& patches, std::string& error);

// Patches with outputs of megabytes, for the fuzz seeds only (each takes
// tens of milliseconds, too slow for the sweeps): a single-file chain whose
// first variant doubles its output to 2.4 MB by copies from the output
// (so that copies come back from the flushed work file), and whose second
// variant takes that output as its source and reads it in scattered short
// pieces and in one long piece.
bool MakeLargePatches(std::vector<TRobustPatch>& patches, std::string& error);

// The bytes that ops produce from source, by the rules of the delta decoder,
// written independently of it. False (with error set) when an operation
// reaches outside what it may read, or the output would pass limit.
bool SimulateDelta(const TByteVector& source, const std::vector<TDeltaOp>& ops,
                   std::uint8_t variantFlags, std::uint8_t blockLength, std::int64_t limit,
                   TByteVector& output, std::string& error);

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_SUPPORT_ROBUST_PATCHES_H_
