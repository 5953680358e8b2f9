#include "checksum/checksum.h"

#include <algorithm>
#include <memory>

// On x86 the bulk of the bytes is folded with carry-less multiplication when
// the processor has it; the table code below serves every other case.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MENDRIX_CRC_FOLDING 1
#include <immintrin.h>
#endif

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

// Bytes read per piece, in one read each.
constexpr std::int32_t ChecksumPiece = 1024 * 1024;

inline std::uint32_t Load32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline std::uint32_t Slice(int k, std::uint32_t word) {
  return SliceTable[k][word & 0xFFu] ^ SliceTable[k - 1][(word >> 8) & 0xFFu] ^
         SliceTable[k - 2][(word >> 16) & 0xFFu] ^ SliceTable[k - 3][word >> 24];
}

#ifdef MENDRIX_CRC_FOLDING

// Folding: the input is taken as a polynomial over GF(2) (bit-reflected, like
// the table), and blocks of 128 bits far from the end are multiplied by
// x^k mod P for the distance k they are moved, so that four lanes of 128
// bits run on side by side; the lanes are then folded into one, and the last
// 64 bits are reduced modulo P with a Barrett step. The constants are those
// powers of x modulo P (and floor(x^64 / P) for the Barrett step), for
// P = 0x104C11DB7 in reflected form. The result is the same running value
// that the table steps give.
constexpr std::int64_t FoldPiece = 64;  // four lanes of 16 bytes

__attribute__((target("pclmul,sse2"))) inline __m128i Load128(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane moved forward by the distance that k stands for, plus next.
__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Feeds length bytes (at least FoldPiece, a multiple of 16).
__attribute__((target("pclmul,sse2"))) std::uint32_t CrcFold(std::uint32_t value,
                                                             const std::uint8_t* p,
                                                             std::int64_t length) {
  __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(value)));
  __m128i x2 = Load128(p + 16);
  __m128i x3 = Load128(p + 32);
  __m128i x4 = Load128(p + 48);
  p += FoldPiece;
  length -= FoldPiece;

  const __m128i fold512 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
  for (; length >= FoldPiece; length -= FoldPiece, p += FoldPiece) {
    x1 = Fold(x1, fold512, Load128(p));
    x2 = Fold(x2, fold512, Load128(p + 16));
    x3 = Fold(x3, fold512, Load128(p + 32));
    x4 = Fold(x4, fold512, Load128(p + 48));
  }

  const __m128i fold128 = _mm_set_epi64x(0x0CCAA009E, 0x1751997D0);
  x1 = Fold(x1, fold128, x2);
  x1 = Fold(x1, fold128, x3);
  x1 = Fold(x1, fold128, x4);
  for (; length >= 16; length -= 16, p += 16) x1 = Fold(x1, fold128, Load128(p));

  // 128 bits to 64, then to 32 bits followed by 32 zero bits.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(fold128, x1, 0x01));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i fold64 = _mm_set_epi64x(0, 0x163CD6124);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                     _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), fold64, 0x00));

  // Barrett reduction: 0x1DB710641 is P, 0x1F7011641 is floor(x^64 / P).
  const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

bool HasCarrylessMultiply() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return has;
}

#endif  // MENDRIX_CRC_FOLDING

}  // namespace

std::uint32_t CrcUpdate(std::uint32_t value, const void* bytes, std::int32_t length) {
  if (length <= 0) return value;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  const std::uint8_t* end = p + length;
#ifdef MENDRIX_CRC_FOLDING
  if (length >= FoldPiece && HasCarrylessMultiply()) {
    std::int64_t folded = length & ~std::int64_t{15};
    value = CrcFold(value, p, folded);
    p += folded;
  }
#endif
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
