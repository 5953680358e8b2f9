// The processor-specific part of the checksum: folding the bulk of a buffer
// with carry-less multiplication, where the processor has it. The table code
// in checksum.cc serves every other case and the bytes after the bulk.
#ifndef MENDRIX_CHECKSUM_CRC_FOLD_H_
#define MENDRIX_CHECKSUM_CRC_FOLD_H_

#include <cstdint>

namespace mendrix {

// Feeds length bytes (at least CrcFoldPiece, a multiple of 16) into the
// running value; the result is the one the table steps give.
using TCrcFold = std::uint32_t (*)(std::uint32_t value, const std::uint8_t* bytes,
                                   std::int64_t length);

// The least a fold takes: four lanes of 16 bytes.
constexpr std::int64_t CrcFoldPiece = 64;

// The fastest fold this processor can run, or with wide false the fastest
// on 128-bit registers; null when it has none. Asks the processor on each
// call: callers keep the answer.
TCrcFold ProcessorCrcFold(bool wide = true);

}  // namespace mendrix

#endif  // MENDRIX_CHECKSUM_CRC_FOLD_H_
