// Work files and the readers of a variant's five delta streams.
//
// Before a variant is applied its five streams are copied out of the patch
// into work files of their own; the decoder then reads them side by side:
// bytes of the number stream (numbers and count bytes), bits of the flag and
// sign streams (bit 0 of each byte first), bytes of the insert and add
// streams. The decoder state is one program-wide set: one variant is decoded
// at a time.
//
// A number is a sign bit (sign stream) and one to four magnitude bytes
// (number stream), most significant first. After each byte but the last
// that NumberLimit allows, an extension bit says whether another byte
// follows: the first comes from the sign stream, the second and third from
// the flag stream.
//
//   NumberLimit          bytes   extension bits
//   up to 255            1       none
//   256 .. 65535         1-2     sign
//   65536 .. 16777215    1-3     sign, flag
//   16777216 and above   1-4     sign, flag, flag
#ifndef MENDRIX_DELTA_STREAMS_H_
#define MENDRIX_DELTA_STREAMS_H_

#include <cstdint>
#include <string>

#include "fileio/fileio.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Work-file names tried before giving up.
constexpr int MaxWorkFileNames = 1000;

// The first name tempDir + "DWX" + n (n = 0, 1, ...) at which no file exists.
std::string NewWorkFileName(const std::string& tempDir);

// Opens a work file for writing at position 0: one that DropWorkFile set
// aside, whose old bytes stay after what is written until SetFileSize cuts
// them, or else a new one, created exclusively (never through a link) under
// the names from NewWorkFileName onwards and remembered for removal on a
// fatal stop. False once MaxWorkFileNames names have failed.
bool CreateWorkFile(const std::string& tempDir, TDiskFile& file, std::string& name);
// Creates a new file beside destination (destination + ".DWX" + n, the first
// n at which nothing exists; private until it is complete), remembered as one
// of the run's own files. False when no name could be created.
bool CreateBesideFile(const std::string& destination, TDiskFile& file, std::string& name);
// The run is done with the closed work file name: it is kept for
// CreateWorkFile to write over, and deleted by ReleaseWorkFiles.
void DropWorkFile(const std::string& name);

// Buffers streams 0 to 4 of variant, which begin at streamOffset, into work
// files. The work files stay after the variant and are written over by the
// next one, which saves creating and deleting five files per variant in a
// tree of many small files. FatalStop "Error, can't buffer patchdata in
// temporary files!" on failure.
void BufferVariantStreams(TPatchContext& context, const TVariantInfo& variant,
                          std::int32_t streamOffset);
// Closes and deletes the five stream work files and the work files set
// aside; every pass over the entries ends with it.
void ReleaseWorkFiles();

void ResetBitReaders();
bool ReadFlagBit();  // InternalError 30 when the flag stream is exhausted
bool ReadSignBit();  // InternalError 30 when the sign stream is exhausted

// NumberLimit decides how many magnitude bytes a number may have;
// NumberBytesLeft counts the number-stream bytes not yet consumed.
void SetNumberLimit(std::int32_t limit);
void SetNumberBytesLeft(std::int32_t count);
std::int32_t NumberBytesLeft();
// The next signed number: InternalError 40 to 43 when the number stream ends
// at its first to fourth byte; a four-byte magnitude of 2^31 or more is a
// damaged patch.
std::int32_t ReadNumber();
// A count byte from the number stream; InternalError 50 when it ends.
std::uint8_t ReadCountByte();
// Bytes from the insert or the add stream; false when the stream ends.
bool ReadInsertBytes(std::uint8_t* buffer, std::int32_t count);
bool ReadAddBytes(std::uint8_t* buffer, std::int32_t count);

}  // namespace mendrix

#endif  // MENDRIX_DELTA_STREAMS_H_
