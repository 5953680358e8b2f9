#include "checksum/checksum.h"

#include <algorithm>

namespace mendrix {

namespace {

// Slicing by 16: SliceTable[k][i] is the running value that byte i leaves
// after k further zero bytes have followed it, so sixteen bytes are folded
// into the value with sixteen independent lookups instead of sixteen
// dependent steps. SliceTable[0] is CrcTable.
constexpr int SliceCount = 16;
using TSliceTable = std::array<std::array<std::uint32_t, 256>, SliceCount>;

constexpr TSliceTable MakeSliceTable() {
  TSliceTable table{};
  table[0] = CrcTable;
  for (int k = 1; k < SliceCount; ++k) {
    for (int i = 0; i < 256; ++i) {
      std::uint32_t previous = table[k - 1][i];
      table[k][i] = (previous >> 8) ^ CrcTable[previous & 0xFFu];
    }
  }
  return table;
}

constexpr TSliceTable SliceTable = MakeSliceTable();

// Bytes read per piece; a multiple of the file layer's largest transfer.
constexpr std::int32_t ChecksumPiece = 2 * BlockPiece;

inline std::uint32_t Load32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline std::uint32_t Slice(int k, std::uint32_t word) {
  return SliceTable[k][word & 0xFFu] ^ SliceTable[k - 1][(word >> 8) & 0xFFu] ^
         SliceTable[k - 2][(word >> 16) & 0xFFu] ^ SliceTable[k - 3][word >> 24];
}

}  // namespace

std::uint32_t CrcUpdate(std::uint32_t value, const void* bytes, std::int32_t length) {
  if (length <= 0) return value;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  const std::uint8_t* end = p + length;
  while (end - p >= SliceCount) {
    value = Slice(15, Load32(p) ^ value) ^ Slice(11, Load32(p + 4)) ^ Slice(7, Load32(p + 8)) ^
            Slice(3, Load32(p + 12));
    p += SliceCount;
  }
  for (; p != end; ++p) value = CrcTable[(value ^ *p) & 0xFFu] ^ (value >> 8);
  return value;
}

std::uint32_t ChecksumRange(TDiskFile& file, std::int64_t start, std::int64_t end,
                            std::uint32_t value) {
  if (end <= start) return value;
  // Nothing of a file lies beyond the 32-bit positions.
  if (start < 0 || start > INT32_MAX) return value;
  // A failure left pending by the caller says nothing about these bytes.
  (void)TakeIoStatus();
  SeekTo(file, static_cast<std::int32_t>(start));
  std::array<std::uint8_t, ChecksumPiece> buffer;
  std::int64_t remaining = end - start;
  while (remaining > 0) {
    auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(remaining, ChecksumPiece));
    // A range that runs past the end of the file, or a failing disk, ends
    // the reading: the value covers the pieces read before.
    if (!ReadBlock(file, buffer.data(), piece)) break;
    value = CrcUpdate(value, buffer.data(), piece);
    remaining -= piece;
  }
  return value;
}

std::uint32_t FileChecksum(TDiskFile& file, std::uint32_t excludeStart,
                           std::uint32_t excludeLength) {
  std::int32_t size = GetSize(file);
  if (excludeLength == 0) return ChecksumRange(file, 0, size, CrcStart);
  std::uint32_t first = ChecksumRange(file, 0, excludeStart, CrcStart);
  return ChecksumRange(file, std::int64_t{excludeStart} + excludeLength, size, first);
}

}  // namespace mendrix
