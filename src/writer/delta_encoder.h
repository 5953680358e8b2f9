// The writing side of the delta coding: a list of operations into the five
// delta streams of one variant, the exact inverse of the decoder.
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
#include <string>
#include <vector>

#include "patchfile/patch_format.h"

namespace mendrix {

enum class TOpKind { Copy, Insert, Zero };

struct TDeltaOp {
  TOpKind Kind = TOpKind::Zero;
  std::int32_t Length = 0;  // copy: run length
  std::int32_t Offset = 0;  // copy: relative to the end of the previous run
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

// Number of insert pieces for an insert of length bytes: max(1, length / block).
std::int32_t InsertPieceCount(std::int32_t length, std::uint8_t blockLength);

// Encodes ops into streams. False (with error set) when an operation can't be
// expressed: a number beyond what NumberLimit allows, a group whose copies
// disagree on the add count, a wrong number of piece flags, BlockLength 0
// with an insert.
bool EncodeDelta(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                 TDeltaStreams& streams, std::string& error);

// Low-level writers, for tests that build streams bit by bit.
class TBitWriter {
 public:
  void Put(bool bit);
  const std::vector<std::uint8_t>& Bytes() const { return Bytes_; }

 private:
  std::vector<std::uint8_t> Bytes_;
  int Used_ = 8;  // bits used in the last byte
};

}  // namespace mendrix

#endif  // MENDRIX_WRITER_DELTA_ENCODER_H_
