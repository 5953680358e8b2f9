// The length of the common start of two byte ranges, the question the
// source index and the matcher ask most often.
#ifndef MENDRIX_GENERATOR_COMMON_LENGTH_H_
#define MENDRIX_GENERATOR_COMMON_LENGTH_H_

#include <cstdint>
#include <cstring>

namespace mendrix {

// Number of equal bytes at the start of a and b, at most limit.
inline std::int32_t CommonLength(const std::uint8_t* a, const std::uint8_t* b, std::int32_t limit) {
  std::int32_t length = 0;
  // Eight bytes at a time while they agree; the byte loop then finds the
  // first byte that differs, so no byte order is assumed.
  while (limit - length >= 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + length, 8);
    std::memcpy(&y, b + length, 8);
    if (x != y) break;
    length += 8;
  }
  while (length < limit && a[length] == b[length]) ++length;
  return length;
}

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_COMMON_LENGTH_H_
