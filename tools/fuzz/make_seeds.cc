// Writes the seed corpus of the fuzz target: one valid patch per file, each
// applying to the fixed old file or tree that the target restores before
// every input. Usage: make_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

#include "patchfile/patch_format.h"
#include "support/robust_patches.h"
#include "writer/patch_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <directory>\n");
    return 2;
  }
  std::vector<mendrix::test::TRobustPatch> patches;
  std::string error;
  std::vector<mendrix::test::TRobustPatch> large;
  if (!mendrix::test::MakeRobustPatches(patches, error) ||
      !mendrix::test::MakeLargePatches(large, error)) {
    std::fprintf(stderr, "make_seeds: %s\n", error.c_str());
    return 1;
  }
  patches.insert(patches.end(), large.begin(), large.end());
  // Each tree patch once more with the header's Reserved byte 0101 1110:
  // the fuzz target then puts earlier backups, leftover install copies and
  // a link into the old tree first.
  const std::size_t count = patches.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (!patches[i].Tree) continue;
    mendrix::test::TRobustPatch planted = patches[i];
    std::vector<std::uint8_t>& bytes = planted.Bytes;
    const std::size_t trailer = bytes.size() - mendrix::TrailerSize;
    const std::uint32_t length =
        std::uint32_t{bytes[trailer]} | std::uint32_t{bytes[trailer + 1]} << 8 |
        std::uint32_t{bytes[trailer + 2]} << 16 | std::uint32_t{bytes[trailer + 3]} << 24;
    bytes[bytes.size() - length + 9] = 0x5E;
    planted.Name += "_planted";
    patches.push_back(std::move(planted));
  }
  for (const auto& patch : patches) {
    const std::string path = std::string(argv[1]) + "/" + patch.Name + ".pat";
    if (!mendrix::WriteBytesToFile(path, patch.Bytes)) {
      std::fprintf(stderr, "make_seeds: can't write %s\n", path.c_str());
      return 1;
    }
  }
  std::printf("%zu seeds written to %s\n", patches.size(), argv[1]);
  return 0;
}
