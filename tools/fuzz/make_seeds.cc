// Writes the seed corpus of the fuzz target: one valid patch per file, each
// applying to the fixed old file or tree that the target restores before
// every input. Usage: make_seeds <directory>
#include <cstdio>
#include <string>
#include <vector>

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
