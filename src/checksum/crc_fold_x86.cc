// Checksum folding with x86 carry-less multiplication (PCLMULQDQ), compiled
// for that instruction alone and chosen at run time; other processors get
// no fold.
#include "checksum/crc_fold.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define MENDRIX_CRC_FOLD_X86 1
#include <immintrin.h>
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
__attribute__((target("pclmul,sse2"))) inline __m128i Load128(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// lane moved forward by the distance that k stands for, plus next.
__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
  __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
  __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
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

  const __m128i fold512 = _mm_set_epi64x(0x1C6E41596, 0x154442BD4);
  for (; length >= CrcFoldPiece; length -= CrcFoldPiece, p += CrcFoldPiece) {
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

}  // namespace

TCrcFold ProcessorCrcFold() {
  if (__builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2")) return CrcFold;
  return nullptr;
}

#else

TCrcFold ProcessorCrcFold() { return nullptr; }

#endif  // MENDRIX_CRC_FOLD_X86

}  // namespace mendrix
