// The encoder walks the operations with the same state the decoder keeps, so
// that every byte and bit lands where the decoder will ask for it:
//
// - a number is its sign bit (sign stream), then its magnitude bytes, most
//   significant first (number stream), each but the last possible one
//   followed by an extension bit: the first from the sign stream, the second
//   and third from the flag stream. How many bytes a number may have is
//   fixed by NumberLimit; where no further byte is possible, no extension bit
//   is written either.
// - the group countdown starts at 0; a copy met with the countdown at exactly
//   0 carries a count byte (after its two numbers) and resets the countdown
//   to GroupLength; every copy and every zero number lower it by 1. Once it
//   is below 0 no count byte comes again and the last one stays in force.
// - an insert's pieces each take one flag bit, after the insert's number.
#include "writer/delta_encoder.h"

#include <cstddef>
#include <utility>

namespace mendrix {
namespace {

// Largest magnitude a number may have when NumberLimit allows byteCount bytes.
// Four bytes stop below 2^31: the decoder's result is a signed 32-bit value.
constexpr std::int64_t MaxMagnitude[5] = {0, 0xFF, 0xFFFF, 0xFFFFFF, 0x7FFFFFFF};

int NumberByteLimit(std::int32_t numberLimit) {
  if (numberLimit <= 0xFF) return 1;
  if (numberLimit <= 0xFFFF) return 2;
  if (numberLimit <= 0xFFFFFF) return 3;
  return 4;
}

struct TEncoderState {
  TBitWriter Flags;
  TBitWriter Signs;
  TDeltaStreams* Streams = nullptr;
  int ByteLimit = 1;
  std::int64_t GroupCountdown = 0;
  std::int64_t AddCount = 0;
};

bool PutNumber(TEncoderState& state, std::int64_t value, std::string& error) {
  const std::int64_t magnitude = value < 0 ? -value : value;
  if (magnitude > MaxMagnitude[state.ByteLimit]) {
    error = "number " + std::to_string(value) + " needs more than " +
            std::to_string(state.ByteLimit) + " byte(s) under this NumberLimit";
    return false;
  }
  int byteCount = 1;
  while (byteCount < 4 && magnitude > MaxMagnitude[byteCount]) ++byteCount;

  std::vector<std::uint8_t>& numbers = (*state.Streams)[NumberStream];
  state.Signs.Put(value < 0);
  for (int i = 0; i < state.ByteLimit; ++i) {
    if (i > 0) {
      // Extension bit before byte i: whether that byte follows.
      const bool more = i < byteCount;
      if (i == 1) {
        state.Signs.Put(more);
      } else {
        state.Flags.Put(more);
      }
      if (!more) break;
    }
    const int shift = 8 * (byteCount - 1 - i);
    numbers.push_back(static_cast<std::uint8_t>(magnitude >> shift));
  }
  return true;
}

bool PutCopy(TEncoderState& state, const TDeltaOp& op, const TDeltaParams& params,
             std::size_t index, std::string& error) {
  const std::string where = "op " + std::to_string(index) + ": ";
  if (op.Length <= 0) {
    error = where + "copy of " + std::to_string(op.Length) + " bytes";
    return false;
  }
  if (op.AddBytes.size() > 255) {
    error = where + "more than 255 add bytes";
    return false;
  }
  if (!PutNumber(state, op.Length, error) || !PutNumber(state, op.Offset, error)) {
    error = where + error;
    return false;
  }
  const auto addCount = static_cast<std::int64_t>(op.AddBytes.size());
  if (state.GroupCountdown == 0) {
    (*state.Streams)[NumberStream].push_back(static_cast<std::uint8_t>(addCount));
    state.AddCount = addCount;
    state.GroupCountdown = params.GroupLength;
  } else if (addCount != state.AddCount) {
    error = where + "copy with " + std::to_string(addCount) + " add bytes in a group of " +
            std::to_string(state.AddCount);
    return false;
  }
  --state.GroupCountdown;
  std::vector<std::uint8_t>& adds = (*state.Streams)[AddStream];
  adds.insert(adds.end(), op.AddBytes.begin(), op.AddBytes.end());
  return true;
}

bool PutInsert(TEncoderState& state, const TDeltaOp& op, const TDeltaParams& params,
               std::size_t index, std::string& error) {
  const std::string where = "op " + std::to_string(index) + ": ";
  if (op.InsertBytes.empty()) {
    error = where + "empty insert";
    return false;
  }
  if (params.BlockLength == 0) {
    error = where + "insert with BlockLength 0";
    return false;
  }
  if (op.InsertBytes.size() > static_cast<std::size_t>(MaxMagnitude[4])) {
    error = where + "insert too long";
    return false;
  }
  const auto length = static_cast<std::int32_t>(op.InsertBytes.size());
  const std::int32_t pieceCount = InsertPieceCount(length, params.BlockLength);
  if (op.PieceFlags.size() != static_cast<std::size_t>(pieceCount)) {
    error = where + std::to_string(op.PieceFlags.size()) + " piece flags for " +
            std::to_string(pieceCount) + " pieces";
    return false;
  }
  if (!PutNumber(state, -std::int64_t{length}, error)) {
    error = where + error;
    return false;
  }
  std::vector<std::uint8_t>& inserts = (*state.Streams)[InsertStream];
  inserts.insert(inserts.end(), op.InsertBytes.begin(), op.InsertBytes.end());
  // The pieces are only told apart by their flag bits; cutting them is the
  // decoder's business, and the count above matches its cut.
  for (const bool literal : op.PieceFlags) state.Flags.Put(literal);
  return true;
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

std::int32_t InsertPieceCount(std::int32_t length, std::uint8_t blockLength) {
  if (blockLength == 0) return 0;  // no cut is possible; the encoder refuses it
  const std::int32_t whole = length / blockLength;
  return whole < 1 ? 1 : whole;
}

bool EncodeDelta(const std::vector<TDeltaOp>& ops, const TDeltaParams& params,
                 TDeltaStreams& streams, std::string& error) {
  error.clear();
  for (auto& stream : streams) stream.clear();
  TEncoderState state;
  state.Streams = &streams;
  state.ByteLimit = NumberByteLimit(params.NumberLimit);

  for (std::size_t i = 0; i < ops.size(); ++i) {
    const TDeltaOp& op = ops[i];
    bool ok = true;
    switch (op.Kind) {
      case TOpKind::Copy:
        ok = PutCopy(state, op, params, i, error);
        break;
      case TOpKind::Insert:
        ok = PutInsert(state, op, params, i, error);
        break;
      case TOpKind::Zero:
        ok = PutNumber(state, 0, error);
        --state.GroupCountdown;
        break;
    }
    if (!ok) {
      for (auto& stream : streams) stream.clear();
      return false;
    }
  }
  streams[FlagStream] = state.Flags.Bytes();
  streams[SignStream] = state.Signs.Bytes();
  return true;
}

void TBitWriter::Put(bool bit) {
  if (Used_ == 8) {
    Bytes_.push_back(0);
    Used_ = 0;
  }
  if (bit) Bytes_.back() = static_cast<std::uint8_t>(Bytes_.back() | (1u << Used_));
  ++Used_;
}

}  // namespace mendrix
