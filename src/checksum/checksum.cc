#include "checksum/checksum.h"

#include <algorithm>
#include <memory>

#include "checksum/crc_fold.h"

namespace mendrix {

namespace {

// Slicing by 16: table[k][i] is the running value that byte i leaves after
// k further zero bytes have followed it, so sixteen bytes are folded into the
// value with sixteen independent lookups instead of sixteen dependent steps.
// table[0] is CrcTable. Built once, on first use.
constexpr int SliceCount = 16;
using TSliceTable = std::array<std::array<std::uint32_t, 256>, SliceCount>;

TSliceTable MakeSliceTable() {
  TSliceTable table{};
  table[0] = MakeCrcTable();
  for (int k = 1; k < SliceCount; ++k) {
    for (int i = 0; i < 256; ++i) {
      std::uint32_t previous = table[k - 1][i];
      table[k][i] = (previous >> 8) ^ table[0][previous & 0xFFu];
    }
  }
  return table;
}

const TSliceTable& SliceTable() {
  static const TSliceTable table = MakeSliceTable();
  return table;
}

// Bytes read per piece, in one read each.
constexpr std::int32_t ChecksumPiece = 1024 * 1024;

inline std::uint32_t Load32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline std::uint32_t Slice(const TSliceTable& table, int k, std::uint32_t word) {
  return table[k][word & 0xFFu] ^ table[k - 1][(word >> 8) & 0xFFu] ^
         table[k - 2][(word >> 16) & 0xFFu] ^ table[k - 3][word >> 24];
}

}  // namespace

std::uint32_t CrcUpdate(std::uint32_t value, const void* bytes, std::int32_t length) {
  if (length <= 0) return value;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  const std::uint8_t* end = p + length;
  if (length >= CrcFoldPiece) {
    static const TCrcFold fold = ProcessorCrcFold();
    if (fold != nullptr) {
      std::int64_t folded = length & ~std::int64_t{15};
      value = fold(value, p, folded);
      p += folded;
    }
  }
  const TSliceTable& table = SliceTable();
  while (end - p >= SliceCount) {
    value = Slice(table, 15, Load32(p) ^ value) ^ Slice(table, 11, Load32(p + 4)) ^
            Slice(table, 7, Load32(p + 8)) ^ Slice(table, 3, Load32(p + 12));
    p += SliceCount;
  }
  for (; p != end; ++p) value = table[0][(value ^ *p) & 0xFFu] ^ (value >> 8);
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
  std::int64_t remaining = end - start;
  auto bufferSize = static_cast<std::size_t>(std::min<std::int64_t>(remaining, ChecksumPiece));
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(bufferSize);
  while (remaining > 0) {
    auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(remaining, ChecksumPiece));
    // A range that runs past the end of the file, or a failing disk, ends
    // the reading: the value covers the pieces read before.
    ReadExact(file, buffer.get(), piece);
    if (TakeIoStatus() != 0) break;
    value = CrcUpdate(value, buffer.get(), piece);
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
