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

// Feeds length bytes (none when length <= 0) into the running value.
std::uint32_t CrcUpdate(std::uint32_t value, const void* bytes, std::int32_t length);

// Feeds the bytes of file from position start up to end (exclusive); the
// value is returned unchanged when end <= start. Read failures are not
// reported: they give a value that won't match a stored checksum.
std::uint32_t ChecksumRange(TDiskFile& file, std::int64_t start, std::int64_t end,
                            std::uint32_t value);

// Checksum of the whole file with excludeLength bytes at excludeStart left
// out (nothing when excludeLength is 0).
std::uint32_t FileChecksum(TDiskFile& file, std::uint32_t excludeStart,
                           std::uint32_t excludeLength);

}  // namespace mendrix

#endif  // MENDRIX_CHECKSUM_CHECKSUM_H_
