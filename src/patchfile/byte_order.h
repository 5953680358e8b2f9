// Little-endian loads and stores for the patch's integers. Bytes are widened
// before they are shifted, so no value of a byte can overflow.
#ifndef MENDRIX_PATCHFILE_BYTE_ORDER_H_
#define MENDRIX_PATCHFILE_BYTE_ORDER_H_

#include <cstdint>

namespace mendrix {

inline std::uint16_t LoadU16Le(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8);
}

inline std::uint32_t LoadU32Le(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

inline void StoreU16Le(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

inline void StoreU32Le(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
  p[2] = static_cast<std::uint8_t>(value >> 16);
  p[3] = static_cast<std::uint8_t>(value >> 24);
}

}  // namespace mendrix

#endif  // MENDRIX_PATCHFILE_BYTE_ORDER_H_
