// The writing side of the delta coding: operations into the five delta
// streams of one variant, the exact inverse of the decoder. TDeltaEncoder
// takes them one at a time (the patch generator streams its plans through
// it); EncodeDelta takes a whole list (the tests, the demo, the benchmarks).
//
// Operations, in output order:
// - Copy: Length bytes (> 0) from the combined address space (source, then
//   the output written so far) at the end of the previous copy's run plus
//   Offset (which may be negative). AddBytes follow the run; all copies that
//   share one count byte (GroupLength of them) must carry the same number of
//   add bytes, at most 255.
// - Insert: InsertBytes (at least 1 byte) from the insert stream, cut into
//   pieces of BlockLength (the last piece takes the rest, up to
//   2 * BlockLength - 1 bytes); PieceFlags holds one flag per piece: 1 writes
//   the piece as it stands, 0 adds it to the old bytes after the last copy.
// - Zero: a zero number; lowers the group countdown.
// The bytes given are the stream bytes themselves: the encoder doesn't form
// differences, the caller does.
#ifndef MENDRIX_WRITER_DELTA_ENCODER_H_
#define MENDRIX_WRITER_DELTA_ENCODER_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "patchfile/patch_format.h"

namespace mendrix {

enum class TOpKind { Copy, Insert, Zero };

struct TDeltaOp {
  TOpKind Kind = TOpKind::Zero;
  std::int32_t Length = 0;                // copy: run length
  std::int32_t Offset = 0;                // copy: relative to the end of the previous run
  std::vector<std::uint8_t> AddBytes;     // copy: bytes that follow the run
  std::vector<std::uint8_t> InsertBytes;  // insert: the insert-stream bytes
  std::vector<bool> PieceFlags;           // insert: one per piece

  static TDeltaOp Copy(std::int32_t length, std::int32_t offset,
                       std::vector<std::uint8_t> addBytes = {});
  // An insert whose pieces all carry the same flag.
  static TDeltaOp Insert(std::vector<std::uint8_t> bytes, bool literal, std::uint8_t blockLength);
  static TDeltaOp Zero();
};

struct TDeltaParams {
  std::uint16_t GroupLength = 190;
  std::uint8_t VariantFlags = 0;
  std::uint8_t BlockLength = 20;
  std::int32_t NumberLimit = 0;  // from NumberLimitFor
};

using TDeltaStreams = std::array<std::vector<std::uint8_t>, StreamCount>;

// NumberLimit as the decoder forms it: sourceSize + targetSize when
// VariantFlags bit 0 is set, otherwise the larger of the two.
std::int32_t NumberLimitFor(std::uint8_t variantFlags, std::int32_t sourceSize,
                            std::int32_t targetSize);

// How many magnitude bytes a number may have under numberLimit: 1 to 4.
int NumberByteLimit(std::int32_t numberLimit);

// The largest magnitude a number of at most byteLimit bytes may have. Four
// bytes stop below 2^31: the decoder's result is a signed 32-bit value.
std::int64_t LargestMagnitude(int byteLimit);

// What one number takes in the streams.
struct TNumberSize {
  int Bytes = 1;     // magnitude bytes, in the number stream
  int SignBits = 1;  // its sign and the first extension bit, in the sign stream
  int FlagBits = 0;  // the second and third extension bits, in the flag stream
};

// The size of a number of magnitude (at most LargestMagnitude(byteLimit))
// under a byte limit from NumberByteLimit.
TNumberSize NumberSize(std::int64_t magnitude, int byteLimit);

// The group countdown the decoder keeps. It starts at 0; a copy met with it
// at exactly 0 carries a count byte (after its two numbers), whose value is
// the add count of that copy and the ones after it, and resets it to
// GroupLength; every copy and every zero number lower it by 1. Once it is
// below 0 no count byte comes again and the last one stays in force.
struct TCopyGroup {
  std::int64_t Countdown = 0;
  std::int32_t AddCount = 0;  // of the group in force

  bool CountByteDue() const { return Countdown == 0; }
  // Counts a copy of addCount add bytes; true when it carries the count byte
  // (and addCount becomes the group's).
  bool TakeCopy(std::int32_t addCount, std::uint16_t groupLength);
  void TakeZero() { --Countdown; }
};

// Number of insert pieces for an insert of length bytes: max(1, length / block).
std::int32_t InsertPieceCount(std::int32_t length, std::uint8_t blockLength);

// Length of the piece that starts offset bytes into an insert of length
// bytes (offset being where the previous piece ended): BlockLength, or all
// the rest for the last piece. blockLength must not be 0.
std::int32_t InsertPieceLength(std::int32_t length, std::int32_t offset, std::uint8_t blockLength);

// Writes operations into streams, one call each, in output order. The
// streams are emptied when the encoder is made and hold the whole delta
// after the last successful call. A call returns false (with error set)
// when its operation can't be expressed: a number beyond what NumberLimit
// allows, a copy whose add count differs from its group's, a wrong number
// of piece flags, BlockLength 0 with an insert; the streams are then of no
// use.
class TDeltaEncoder {
 public:
  TDeltaEncoder(const TDeltaParams& params, TDeltaStreams& streams);

  bool PutCopy(std::int32_t length, std::int32_t offset, std::span<const std::uint8_t> addBytes,
               std::string& error);
  bool PutInsert(std::span<const std::uint8_t> bytes, const std::vector<bool>& pieceFlags,
                 std::string& error);
  bool PutZero(std::string& error);

 private:
  bool PutNumber(std::int64_t value, std::string& error);

  TDeltaParams Params;
  TDeltaStreams& Streams;
  int ByteLimit;
  int FlagBitsUsed = 8;  // of the flag stream's last byte
  int SignBitsUsed = 8;  // of the sign stream's last byte
  TCopyGroup Group;
};

// Encodes a list of operations into streams (emptied first). False (with
// error set, naming the operation) when one can't be expressed, as
// TDeltaEncoder says; the streams are then empty.
bool EncodeDelta(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                 TDeltaStreams& streams, std::string& error);

// A bit stream as the decoder reads it, bit 0 of each byte first; for tests
// that build streams bit by bit.
class TBitWriter {
 public:
  void Put(bool bit);
  const std::vector<std::uint8_t>& Bytes() const { return Written; }

 private:
  std::vector<std::uint8_t> Written;
  int UsedBits = 8;  // of the last byte
};

}  // namespace mendrix

#endif  // MENDRIX_WRITER_DELTA_ENCODER_H_
