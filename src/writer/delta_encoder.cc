// Placeholder until the module is written.
#include "writer/delta_encoder.h"

#include <utility>

namespace mendrix {
TDeltaOp TDeltaOp::Copy(std::int32_t length, std::int32_t offset, std::vector<std::uint8_t> addBytes) {
  TDeltaOp op; op.Kind = TOpKind::Copy; op.Length = length; op.Offset = offset; op.AddBytes = std::move(addBytes); return op;
}
TDeltaOp TDeltaOp::Insert(std::vector<std::uint8_t> bytes, bool literal, std::uint8_t blockLength) {
  TDeltaOp op; op.Kind = TOpKind::Insert; op.Length = static_cast<std::int32_t>(bytes.size());
  op.PieceFlags.assign(static_cast<std::size_t>(InsertPieceCount(op.Length, blockLength)), literal);
  op.InsertBytes = std::move(bytes); return op;
}
TDeltaOp TDeltaOp::Zero() { return TDeltaOp{}; }
std::int32_t NumberLimitFor(std::uint8_t, std::int32_t, std::int32_t) { return 0; }
std::int32_t InsertPieceCount(std::int32_t, std::uint8_t) { return 1; }
bool EncodeDelta(const std::vector<TDeltaOp>&, const TDeltaParams&, TDeltaStreams&, std::string&) { return false; }
void TBitWriter::Put(bool) {}
}  // namespace mendrix
