// The encoder keeps the state the decoder keeps, so that every byte and bit
// lands where the decoder will ask for it:
//
// - a number is its sign bit (sign stream), then its magnitude bytes, most
//   significant first (number stream), each but the last possible one
//   followed by an extension bit: the first from the sign stream, the second
//   and third from the flag stream. How many bytes a number may have is
//   fixed by NumberLimit; where no further byte is possible, no extension bit
//   is written either.
// - a copy is its length and its offset, the count byte where the group
//   countdown asks for one (TCopyGroup), then its add bytes (add stream).
// - an insert is its length, negated; its pieces each take one flag bit,
//   after the insert's number.
#include "writer/delta_encoder.h"

#include <cstddef>
#include <utility>

namespace mendrix {
namespace {

// Bit bitsUsed of the last byte of bytes, or bit 0 of a new one when that
// byte is full.
void AppendBit(std::vector<std::uint8_t>& bytes, int& bitsUsed, bool bit) {
  if (bitsUsed == 8) {
    bytes.push_back(0);
    bitsUsed = 0;
  }
  if (bit) bytes.back() = static_cast<std::uint8_t>(bytes.back() | (1u << bitsUsed));
  ++bitsUsed;
}

}  // namespace

TDeltaOp TDeltaOp::Copy(std::int32_t length, std::int32_t offset,
                        std::vector<std::uint8_t> addBytes) {
  TDeltaOp op;
  op.Kind = TOpKind::Copy;
  op.Length = length;
  op.Offset = offset;
  op.AddBytes = std::move(addBytes);
  return op;
}

TDeltaOp TDeltaOp::Insert(std::vector<std::uint8_t> bytes, bool literal, std::uint8_t blockLength) {
  TDeltaOp op;
  op.Kind = TOpKind::Insert;
  op.Length = static_cast<std::int32_t>(bytes.size());
  op.PieceFlags.assign(static_cast<std::size_t>(InsertPieceCount(op.Length, blockLength)), literal);
  op.InsertBytes = std::move(bytes);
  return op;
}

TDeltaOp TDeltaOp::Zero() { return TDeltaOp{}; }

std::int32_t NumberLimitFor(std::uint8_t variantFlags, std::int32_t sourceSize,
                            std::int32_t targetSize) {
  std::int64_t limit = 0;
  if ((variantFlags & VariantLimitIsSum) != 0) {
    limit = std::int64_t{sourceSize} + targetSize;
  } else {
    limit = sourceSize > targetSize ? sourceSize : targetSize;
  }
  // Past 0xFFFFFF every limit allows four bytes; keep the sum in range.
  return limit > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(limit);
}

int NumberByteLimit(std::int32_t numberLimit) {
  if (numberLimit <= 0xFF) return 1;
  if (numberLimit <= 0xFFFF) return 2;
  if (numberLimit <= 0xFFFFFF) return 3;
  return 4;
}

std::int64_t LargestMagnitude(int byteLimit) {
  constexpr std::int64_t Largest[5] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0x7FFFFFFF};
  return Largest[byteLimit];
}

TNumberSize NumberSize(std::int64_t magnitude, int byteLimit) {
  TNumberSize size;
  while (size.Bytes < 4 && magnitude > LargestMagnitude(size.Bytes)) ++size.Bytes;
  // An extension bit comes before each byte after the first that the limit
  // allows, up to the first that doesn't follow.
  if (byteLimit >= 2) ++size.SignBits;
  if (byteLimit >= 3 && size.Bytes >= 2) ++size.FlagBits;
  if (byteLimit >= 4 && size.Bytes >= 3) ++size.FlagBits;
  return size;
}

bool TCopyGroup::TakeCopy(std::int32_t addCount, std::uint16_t groupLength) {
  const bool countByte = Countdown == 0;
  if (countByte) {
    AddCount = addCount;
    Countdown = groupLength;
  }
  --Countdown;
  return countByte;
}

std::int32_t InsertPieceCount(std::int32_t length, std::uint8_t blockLength) {
  if (blockLength == 0) return 0;  // no cut is possible; the encoder refuses it
  const std::int32_t whole = length / blockLength;
  return whole < 1 ? 1 : whole;
}

std::int32_t InsertPieceLength(std::int32_t length, std::int32_t offset, std::uint8_t blockLength) {
  const std::int32_t rest = length - offset;
  return rest >= 2 * std::int32_t{blockLength} ? blockLength : rest;
}

TDeltaEncoder::TDeltaEncoder(const TDeltaParams& params, TDeltaStreams& streams)
    : Params(params), Streams(streams), ByteLimit(NumberByteLimit(params.NumberLimit)) {
  for (auto& stream : Streams) stream.clear();
}

bool TDeltaEncoder::PutNumber(std::int64_t value, std::string& error) {
  const std::int64_t magnitude = value < 0 ? -value : value;
  if (magnitude > LargestMagnitude(ByteLimit)) {
    error = "number " + std::to_string(value) + " needs more than " + std::to_string(ByteLimit) +
            " byte(s) under this NumberLimit";
    return false;
  }
  const int byteCount = NumberSize(magnitude, ByteLimit).Bytes;
  std::vector<std::uint8_t>& numbers = Streams[NumberStream];
  AppendBit(Streams[SignStream], SignBitsUsed, value < 0);
  for (int i = 0; i < ByteLimit; ++i) {
    if (i > 0) {
      // Extension bit before byte i: whether that byte follows.
      const bool more = i < byteCount;
      if (i == 1) {
        AppendBit(Streams[SignStream], SignBitsUsed, more);
      } else {
        AppendBit(Streams[FlagStream], FlagBitsUsed, more);
      }
      if (!more) break;
    }
    const int shift = 8 * (byteCount - 1 - i);
    numbers.push_back(static_cast<std::uint8_t>(magnitude >> shift));
  }
  return true;
}

bool TDeltaEncoder::PutCopy(std::int32_t length, std::int32_t offset,
                            std::span<const std::uint8_t> addBytes, std::string& error) {
  if (length <= 0) {
    error = "copy of " + std::to_string(length) + " bytes";
    return false;
  }
  if (addBytes.size() > 255) {
    error = "more than 255 add bytes";
    return false;
  }
  if (!PutNumber(length, error) || !PutNumber(offset, error)) return false;
  const auto addCount = static_cast<std::int32_t>(addBytes.size());
  if (!Group.CountByteDue() && addCount != Group.AddCount) {
    error = "copy with " + std::to_string(addCount) + " add bytes in a group of " +
            std::to_string(Group.AddCount);
    return false;
  }
  if (Group.TakeCopy(addCount, Params.GroupLength)) {
    Streams[NumberStream].push_back(static_cast<std::uint8_t>(addCount));
  }
  std::vector<std::uint8_t>& adds = Streams[AddStream];
  adds.insert(adds.end(), addBytes.begin(), addBytes.end());
  return true;
}

bool TDeltaEncoder::PutInsert(std::span<const std::uint8_t> bytes,
                              const std::vector<bool>& pieceFlags, std::string& error) {
  if (bytes.empty()) {
    error = "empty insert";
    return false;
  }
  if (Params.BlockLength == 0) {
    error = "insert with BlockLength 0";
    return false;
  }
  if (bytes.size() > static_cast<std::size_t>(LargestMagnitude(4))) {
    error = "insert too long";
    return false;
  }
  const auto length = static_cast<std::int32_t>(bytes.size());
  const std::int32_t pieceCount = InsertPieceCount(length, Params.BlockLength);
  if (pieceFlags.size() != static_cast<std::size_t>(pieceCount)) {
    error = std::to_string(pieceFlags.size()) + " piece flags for " + std::to_string(pieceCount) +
            " pieces";
    return false;
  }
  if (!PutNumber(-std::int64_t{length}, error)) return false;
  std::vector<std::uint8_t>& inserts = Streams[InsertStream];
  inserts.insert(inserts.end(), bytes.begin(), bytes.end());
  // The pieces are only told apart by their flag bits; cutting them is the
  // decoder's business, and the count above matches its cut.
  for (const bool literal : pieceFlags) AppendBit(Streams[FlagStream], FlagBitsUsed, literal);
  return true;
}

bool TDeltaEncoder::PutZero(std::string& error) {
  if (!PutNumber(0, error)) return false;
  Group.TakeZero();
  return true;
}

bool EncodeDelta(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                 TDeltaStreams& streams, std::string& error) {
  error.clear();
  TDeltaEncoder encoder(params, streams);
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const TDeltaOp& op = ops[i];
    bool ok = true;
    switch (op.Kind) {
      case TOpKind::Copy:
        ok = encoder.PutCopy(op.Length, op.Offset, op.AddBytes, error);
        break;
      case TOpKind::Insert:
        ok = encoder.PutInsert(op.InsertBytes, op.PieceFlags, error);
        break;
      case TOpKind::Zero:
        ok = encoder.PutZero(error);
        break;
    }
    if (!ok) {
      error = "op " + std::to_string(i) + ": " + error;
      for (auto& stream : streams) stream.clear();
      return false;
    }
  }
  return true;
}

void TBitWriter::Put(bool bit) { AppendBit(Written, UsedBits, bit); }

}  // namespace mendrix
