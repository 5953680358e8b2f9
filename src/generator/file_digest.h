// Reading the input files: whole, for the deltas, or piece by piece into a
// digest that tells contents apart.
#ifndef MENDRIX_GENERATOR_FILE_DIGEST_H_
#define MENDRIX_GENERATOR_FILE_DIGEST_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mendrix {

// Largest file the format holds: sizes and positions are 31-bit.
constexpr std::uint64_t MaxFileSize = 0x7FFFFFFF;

// Identifies a file's content: size, the format's checksum, and a second
// 64-bit hash so that equal checksums alone never pass for equal content.
struct TFileDigest {
  std::uint64_t Size = 0;
  std::uint32_t Crc = 0;
  std::uint64_t Hash = 0;
  bool operator==(const TFileDigest&) const = default;
};

TFileDigest DigestOf(const std::vector<std::uint8_t>& bytes);

// Digests a file without holding it whole. False (with error set, a
// complete message) when it can't be read or is too large for a patch.
bool DigestFile(const std::filesystem::path& path, TFileDigest& digest, std::string& error);

// Reads a whole regular file. False (with error set, a complete message) when
// it can't be read or is too large for a patch.
bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& bytes,
                   std::string& error);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_FILE_DIGEST_H_
