// The file checksum: CRC-32 with the reflected table of polynomial 0xEDB88320,
// started at 0xFFFFFFFF and taken without the final inversion (so it is the
// complement of the usual CRC-32 of the same bytes), with one byte range of
// the file left out.
#ifndef MENDRIX_CHECKSUM_CHECKSUM_H_
#define MENDRIX_CHECKSUM_CHECKSUM_H_

#include <array>
#include <cstdint>

#include "fileio/fileio.h"

namespace mendrix {

constexpr std::uint32_t CrcStart = 0xFFFFFFFFu;
constexpr std::uint32_t CrcPolynomial = 0xEDB88320u;  // reflected

// Entry i is i after eight steps of: shift right by one, and XOR the
// polynomial when the bit shifted out was set.
constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int step = 0; step < 8; ++step) {
      value = (value & 1u) != 0 ? (value >> 1) ^ CrcPolynomial : value >> 1;
    }
    table[i] = value;
  }
  return table;
}

inline constexpr std::array<std::uint32_t, 256> CrcTable = MakeCrcTable();
static_assert(CrcTable[1] == 0x77073096u && CrcTable[255] == 0x2D02EF8Du);

// Feeds length bytes (none when length <= 0) into the running value, first
// byte first: value = CrcTable[(value ^ b) & 0xFF] ^ (value >> 8) per byte.
std::uint32_t CrcUpdate(std::uint32_t value, const void* bytes, std::int32_t length);

// Feeds the bytes of file from position start up to end (exclusive); the
// value is returned unchanged when end <= start. Read failures are not
// reported: they give a value that won't match a stored checksum.
std::uint32_t ChecksumRange(TDiskFile& file, std::int64_t start, std::int64_t end,
                            std::uint32_t value);

// Checksum of the whole file with excludeLength bytes at excludeStart left
// out (nothing when excludeLength is 0). The covered bytes run on as one
// sequence: the result is the checksum of a file holding them alone.
std::uint32_t FileChecksum(TDiskFile& file, std::uint32_t excludeStart,
                           std::uint32_t excludeLength);

}  // namespace mendrix

#endif  // MENDRIX_CHECKSUM_CHECKSUM_H_
