#include "generator/file_digest.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "checksum/checksum.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

// Size, checksum and FNV-1a hash, fed piece by piece.
struct TDigester {
  TFileDigest Digest{0, CrcStart, 0xCBF29CE484222325u};
  void Feed(const std::uint8_t* bytes, std::size_t length) {
    Digest.Size += length;
    Digest.Crc = CrcUpdate(Digest.Crc, bytes, static_cast<std::int32_t>(length));
    std::uint64_t hash = Digest.Hash;
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3u;
    Digest.Hash = hash;
  }
};

std::string CantRead(const fs::path& path) {
  return "Error, can't read \"" + path.string() + "\"!";
}

// The size of the file at path, when it can be had and a patch can hold it.
bool PatchableSize(const fs::path& path, std::uintmax_t& size, std::string& error) {
  std::error_code code;
  size = fs::file_size(path, code);
  if (code) {
    error = CantRead(path);
    return false;
  }
  if (size > MaxFileSize) {
    error = "Error, \"" + path.string() + "\" is 2 GiB or larger, too large for a patch!";
    return false;
  }
  return true;
}

}  // namespace

TFileDigest DigestOf(const std::vector<std::uint8_t>& bytes) {
  TDigester digester;
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t piece = std::min<std::size_t>(bytes.size() - done, 1 << 20);
    digester.Feed(bytes.data() + done, piece);
    done += piece;
  }
  return digester.Digest;
}

bool DigestFile(const fs::path& path, TFileDigest& digest, std::string& error) {
  std::uintmax_t size = 0;
  if (!PatchableSize(path, size, error)) return false;
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> buffer(1 << 16);
  TDigester digester;
  while (in) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    digester.Feed(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (!in.eof() || digester.Digest.Size != size) {
    error = CantRead(path);
    return false;
  }
  digest = digester.Digest;
  return true;
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  std::uintmax_t size = 0;
  if (!PatchableSize(path, size, error)) return false;
  bytes.assign(static_cast<std::size_t>(size), 0);
  std::ifstream in(path, std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)) ||
      in.peek() != std::ifstream::traits_type::eof()) {
    error = CantRead(path);
    return false;
  }
  return true;
}

}  // namespace mendrix
