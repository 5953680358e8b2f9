// Checksum folding with x86 carry-less multiplication, on 128-bit registers
// (PCLMULQDQ) or 512-bit ones (VPCLMULQDQ with AVX-512), each compiled for
// its instructions alone and chosen at run time; other processors get no
// fold.
#include "checksum/crc_fold.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MENDRIX_CRC_FOLD_X86 1
#include <immintrin.h>
// 512-bit registers on 64-bit builds only, and not with MinGW-w64's GCC,
// which can't always give their stack slots the alignment they need.
#if defined(__x86_64__) && !defined(__MINGW64__)
#define MENDRIX_CRC_FOLD_WIDE 1
#endif
#endif

namespace mendrix {

#ifdef MENDRIX_CRC_FOLD_X86

namespace {

// Folding: the input is taken as a polynomial over GF(2) (bit-reflected, like
// the table), and blocks of 128 bits far from the end are multiplied by
// x^k mod P for the distance k they are moved, so that four lanes of 128
// bits run on side by side; the lanes are then folded into one, and the last
// 64 bits are reduced modulo P with a Barrett step. The constants are those
// powers of x modulo P (and floor(x^64 / P) for the Barrett step), for
// P = 0x104C11DB7 in reflected form. The result is the same running value
// that the table steps give.
//
// The constants of a distance of d bits: x^(d+32) mod P for a lane's low
// half, x^(d-32) mod P for its high half, bit-reflected and shifted left by
// one.
struct TFoldDistance {
  std::int64_t High;
  std::int64_t Low;
};
constexpr TFoldDistance Fold128{0x0CCAA009E, 0x1751997D0};
constexpr TFoldDistance Fold256{0x15A546366, 0x0F1DA05AA};
constexpr TFoldDistance Fold384{0x174359406, 0x03DB1ECDC};
constexpr TFoldDistance Fold512{0x1C6E41596, 0x154442BD4};
constexpr TFoldDistance Fold2048{0x1322D1430, 0x11542778A};

__attribute__((target("pclmul,sse2"))) inline __m128i Lane(TFoldDistance d) {
  return _mm_set_epi64x(d.High, d.Low);
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load128(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane moved forward by the distance that k stands for, plus next.
__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

// Moves x1 over the last whole blocks of 16 bytes and reduces it to the
// running value: 128 bits to 64, then to 32 followed by 32 zero bits, then
// a Barrett step.
__attribute__((target("pclmul,sse2"))) std::uint32_t FoldTail(__m128i x1, const std::uint8_t* p,
                                                              std::int64_t length) {
  const __m128i fold128 = Lane(Fold128);
  for (; length >= 16; length -= 16, p += 16) x1 = Fold(x1, fold128, Load128(p));

  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(fold128, x1, 0x01));
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  const __m128i fold64 = _mm_set_epi64x(0, 0x163CD6124);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 4),
                     _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), fold64, 0x00));

  // 0x1DB710641 is P, 0x1F7011641 is floor(x^64 / P).
  const __m128i barrett = _mm_set_epi64x(0x1F7011641, 0x1DB710641);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

__attribute__((target("pclmul,sse2"))) std::uint32_t CrcFold(std::uint32_t value,
                                                             const std::uint8_t* p,
                                                             std::int64_t length) {
  __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(value)));
  __m128i x2 = Load128(p + 16);
  __m128i x3 = Load128(p + 32);
  __m128i x4 = Load128(p + 48);
  p += CrcFoldPiece;
  length -= CrcFoldPiece;

  const __m128i fold512 = Lane(Fold512);
  for (; length >= CrcFoldPiece; length -= CrcFoldPiece, p += CrcFoldPiece) {
    x1 = Fold(x1, fold512, Load128(p));
    x2 = Fold(x2, fold512, Load128(p + 16));
    x3 = Fold(x3, fold512, Load128(p + 32));
    x4 = Fold(x4, fold512, Load128(p + 48));
  }

  const __m128i fold128 = Lane(Fold128);
  x1 = Fold(x1, fold128, x2);
  x1 = Fold(x1, fold128, x3);
  x1 = Fold(x1, fold128, x4);
  return FoldTail(x1, p, length);
}

#ifdef MENDRIX_CRC_FOLD_WIDE

// The same folding with 512-bit registers (VPCLMULQDQ): each holds four
// lanes of 128 bits, all moved by the same distance, and four registers run
// side by side over 256 bytes a step. Their lanes are folded into the four
// of one register, then those into one lane, and the tail goes on as above.
constexpr std::int64_t WidePiece = 256;

#define MENDRIX_WIDE_TARGET __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

MENDRIX_WIDE_TARGET inline __m512i Load512(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

// The constants of a distance for every lane.
MENDRIX_WIDE_TARGET inline __m512i Lanes(TFoldDistance d) {
  return _mm512_set_epi64(d.High, d.Low, d.High, d.Low, d.High, d.Low, d.High, d.Low);
}

MENDRIX_WIDE_TARGET inline __m512i FoldWide(__m512i lanes, __m512i k, __m512i next) {
  // 0x96: the exclusive or of all three.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00),
                                   _mm512_clmulepi64_epi128(lanes, k, 0x11), next, 0x96);
}

MENDRIX_WIDE_TARGET std::uint32_t CrcFoldWide(std::uint32_t value, const std::uint8_t* p,
                                              std::int64_t length) {
  if (length < WidePiece) return CrcFold(value, p, length);
  __m512i x1 = _mm512_xor_si512(Load512(p),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(value))));
  __m512i x2 = Load512(p + 64);
  __m512i x3 = Load512(p + 128);
  __m512i x4 = Load512(p + 192);
  p += WidePiece;
  length -= WidePiece;

  const __m512i fold2048 = Lanes(Fold2048);
  for (; length >= WidePiece; length -= WidePiece, p += WidePiece) {
    x1 = FoldWide(x1, fold2048, Load512(p));
    x2 = FoldWide(x2, fold2048, Load512(p + 64));
    x3 = FoldWide(x3, fold2048, Load512(p + 128));
    x4 = FoldWide(x4, fold2048, Load512(p + 192));
  }

  const __m512i fold512 = Lanes(Fold512);
  x1 = FoldWide(x1, fold512, x2);
  x1 = FoldWide(x1, fold512, x3);
  x1 = FoldWide(x1, fold512, x4);
  for (; length >= 64; length -= 64, p += 64) x1 = FoldWide(x1, fold512, Load512(p));

  // The four lanes, the first farthest from the end. (Masked extracts: the
  // plain ones, and the cast, make GCC 12 warn of an undefined operand.)
  __m128i lane = Fold(_mm512_maskz_extracti32x4_epi32(0xF, x1, 2), Lane(Fold128),
                      _mm512_maskz_extracti32x4_epi32(0xF, x1, 3));
  lane = Fold(_mm512_maskz_extracti32x4_epi32(0xF, x1, 1), Lane(Fold256), lane);
  lane = Fold(_mm512_maskz_extracti32x4_epi32(0xF, x1, 0), Lane(Fold384), lane);
  return FoldTail(lane, p, length);
}

#endif  // MENDRIX_CRC_FOLD_WIDE

}  // namespace

TCrcFold ProcessorCrcFold(bool wide) {
  if (!__builtin_cpu_supports("pclmul") || !__builtin_cpu_supports("sse2")) return nullptr;
#ifdef MENDRIX_CRC_FOLD_WIDE
  if (wide && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq")) {
    return CrcFoldWide;
  }
#else
  (void)wide;
#endif
  return CrcFold;
}

#else

TCrcFold ProcessorCrcFold(bool /*wide*/) { return nullptr; }

#endif  // MENDRIX_CRC_FOLD_X86

}  // namespace mendrix
