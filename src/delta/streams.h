// Work files and the readers of a variant's five delta streams.
//
// A variant's five streams are read where they stand in the patch, each
// with a work file of its own made for it; the decoder reads them side by side:
// bytes of the number stream (numbers and count bytes), bits of the flag and
// sign streams (bit 0 of each byte first), bytes of the insert and add
// streams. The decoder state (TDecoder) is one per run, held by the run's
// work state: one variant is decoded at a time.
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

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "console/console.h"
#include "fileio/fileio.h"
#include "patchfile/patch_context.h"

namespace mendrix {

// Work-file names tried before giving up.
constexpr int MaxWorkFileNames = 1000;
// Bytes a stream reader holds from the patch at a time.
constexpr std::int32_t StreamBufferSize = 64 * 1024;

// Most runs of bytes the decoder moves are a few bytes long (the add bytes
// after a copy, short copies). CopyRun moves a run of up to CopySlack bytes
// as one fixed-size move, which needs no call; every buffer it reads from or
// writes to therefore has CopySlack bytes of room past its last byte in
// use, whose contents mean nothing. Overlapping runs are moved as memmove
// would move them.
constexpr std::int32_t CopySlack = 16;
inline void CopyRun(std::uint8_t* to, const std::uint8_t* from, std::int32_t count) {
  if (count <= CopySlack) {
    std::memmove(to, from, CopySlack);
  } else {
    std::memmove(to, from, static_cast<std::size_t>(count));
  }
}

// One stream, read forwards through a buffer from where it stands in the
// patch. Its work file is made (a temp directory that can't take the work
// files stops the run there) but not written: the streams are read in place,
// which spares writing and reading back the whole delta of every variant.
// Invariant: Buffer[Next, End) are the next bytes of the stream, and Unread
// more follow them in the patch from Position on.
struct TStreamReader {
  TDiskFile File;
  std::string Name;  // empty while no work file is held
  TDiskFile* Patch = nullptr;
  std::int32_t Position = 0;
  std::int64_t Unread = 0;
  std::int32_t Next = 0;
  std::int32_t End = 0;
  std::array<std::uint8_t, StreamBufferSize + CopySlack> Buffer;
};

// A bit sequence over one stream: bits of Current are taken from bit 0 up;
// an Index of 0 means the next bit needs a new byte.
struct TBitReader {
  std::uint8_t Current = 0;
  int Index = 0;
};

// The decoder of one variant's streams. NumberLimit decides how many
// magnitude bytes a number may have; NumberBytesLeft counts the
// number-stream bytes not yet consumed.
struct TDecoder {
  std::array<TStreamReader, StreamCount> Streams;
  TBitReader FlagBits;
  TBitReader SignBits;
  std::int32_t NumberLimit = 0;
  std::int64_t NumberBytesLeft = 0;
};

// Opens a work file for writing at position 0: one that DropWorkFile set
// aside, whose old bytes stay after what is written until SetFileSize cuts
// them, or else a new one, created exclusively (never through a link) under
// the first free name of tempDir + "DWX" + n (n = 0, 1, ...) and remembered
// in run for removal on a fatal stop. False once MaxWorkFileNames names have
// failed.
bool CreateWorkFile(TRunFiles& run, const std::string& tempDir, TDiskFile& file, std::string& name);
// Creates a new file beside destination (destination + ".DWX" + n, the first
// n at which nothing exists; private until it is complete), remembered as one
// of the run's own files. False when no name could be created.
bool CreateBesideFile(TRunFiles& run, const std::string& destination, TDiskFile& file,
                      std::string& name);
// The run is done with the closed work file name: it is kept for
// CreateWorkFile to write over, and deleted by ReleaseWorkFiles.
void DropWorkFile(TRunFiles& run, const std::string& name);
// Makes the decoder ready for streams 0 to 4 of variant, which begin at
// streamOffset, with a work file for each. The work files stay after the
// variant and are written over by the next one, which saves creating and
// deleting five files per variant in a tree of many small files. FatalStop
// "Error, can't buffer patchdata in temporary files!" on failure.
void BufferVariantStreams(TPatchContext& context, TRunFiles& run, TDecoder& decoder,
                          const TVariantInfo& variant, std::int32_t streamOffset);
// Closes and deletes the five stream work files and the work files set
// aside; every pass over the entries ends with it.
void ReleaseWorkFiles(TRunFiles& run, TDecoder& decoder);

void ResetBitReaders(TDecoder& decoder);
// Takes the stream's next piece from the patch into its buffer; false at
// the stream's end.
bool RefillStream(TStreamReader& stream);

// The readers below run once or more for every operation of the delta, so
// they are defined here, where the decoding loop can take them inline.

// InternalError 30 when the flag or sign stream is exhausted.
inline bool ReadFlagBit(TDecoder& decoder);
inline bool ReadSignBit(TDecoder& decoder);
// NumberBytesLeft, clamped to 32 bits.
inline std::int32_t NumberBytesLeft(const TDecoder& decoder) {
  return static_cast<std::int32_t>(std::max<std::int64_t>(decoder.NumberBytesLeft, INT32_MIN));
}
// The next signed number: InternalError 40 to 43 when the number stream ends
// at its first to fourth byte; a four-byte magnitude of 2^31 or more is a
// damaged patch.
inline std::int32_t ReadNumber(TDecoder& decoder);
// A count byte from the number stream; InternalError 50 when it ends.
inline std::uint8_t ReadCountByte(TDecoder& decoder);
// Bytes from the insert or the add stream, into a buffer with CopySlack
// bytes of room past count; false when the stream ends.
inline bool ReadInsertRun(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count);
inline bool ReadAddRun(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count);

// ---- Definitions ----

inline bool TakeStreamByte(TStreamReader& stream, std::uint8_t& byte) {
  if (stream.Next == stream.End && !RefillStream(stream)) return false;
  byte = stream.Buffer[stream.Next++];
  return true;
}

// buffer has CopySlack bytes of room past count.
inline bool TakeStreamBytes(TStreamReader& stream, std::uint8_t* buffer, std::int32_t count) {
  if (count <= 0) return true;
  // Most runs are a few bytes that the buffer holds.
  if (count <= stream.End - stream.Next) {
    CopyRun(buffer, stream.Buffer.data() + stream.Next, count);
    stream.Next += count;
    return true;
  }
  while (count > 0) {
    if (stream.Next == stream.End && !RefillStream(stream)) return false;
    const std::int32_t piece = std::min(count, stream.End - stream.Next);
    std::memcpy(buffer, stream.Buffer.data() + stream.Next, static_cast<std::size_t>(piece));
    stream.Next += piece;
    buffer += piece;
    count -= piece;
  }
  return true;
}

inline bool ReadStreamBit(TBitReader& bits, TStreamReader& stream) {
  if (bits.Index == 0 && !TakeStreamByte(stream, bits.Current)) InternalError(30);
  const bool bit = ((bits.Current >> bits.Index) & 1u) != 0;
  bits.Index = (bits.Index + 1) & 7;
  return bit;
}

// One byte of the number stream, or InternalError with code.
inline std::uint32_t TakeNumberByte(TDecoder& decoder, std::int32_t code) {
  std::uint8_t byte = 0;
  if (!TakeStreamByte(decoder.Streams[NumberStream], byte)) InternalError(code);
  --decoder.NumberBytesLeft;
  return byte;
}

inline bool ReadFlagBit(TDecoder& decoder) {
  return ReadStreamBit(decoder.FlagBits, decoder.Streams[FlagStream]);
}

inline bool ReadSignBit(TDecoder& decoder) {
  return ReadStreamBit(decoder.SignBits, decoder.Streams[SignStream]);
}

inline std::int32_t ReadNumber(TDecoder& decoder) {
  const bool negative = ReadSignBit(decoder);
  std::uint32_t magnitude = TakeNumberByte(decoder, 40);
  if (decoder.NumberLimit > 0xFF && ReadSignBit(decoder)) {
    magnitude = magnitude << 8 | TakeNumberByte(decoder, 41);
    if (decoder.NumberLimit > 0xFFFF && ReadFlagBit(decoder)) {
      magnitude = magnitude << 8 | TakeNumberByte(decoder, 42);
      if (decoder.NumberLimit > 0xFFFFFF && ReadFlagBit(decoder)) {
        magnitude = magnitude << 8 | TakeNumberByte(decoder, 43);
        // No file reaches 2 GiB, so no meaningful number does either.
        if (magnitude > 0x7FFFFFFFu) FatalStop("Error, patch corrupted!");
      }
    }
  }
  const auto value = static_cast<std::int32_t>(magnitude);
  return negative ? -value : value;
}

inline std::uint8_t ReadCountByte(TDecoder& decoder) {
  return static_cast<std::uint8_t>(TakeNumberByte(decoder, 50));
}

inline bool ReadInsertRun(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count) {
  return TakeStreamBytes(decoder.Streams[InsertStream], buffer, count);
}

inline bool ReadAddRun(TDecoder& decoder, std::uint8_t* buffer, std::int32_t count) {
  return TakeStreamBytes(decoder.Streams[AddStream], buffer, count);
}

}  // namespace mendrix

#endif  // MENDRIX_DELTA_STREAMS_H_
