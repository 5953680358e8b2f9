// The generator's round trip over a fixed range of random cases
// (roundtrip_case.h): each patch is made by the generator's library and
// applied by the program to a copy of every old version, which must then be
// the new version, byte for byte and date. The fuzz target fuzz_roundtrip
// runs the same property on inputs of its own, for as long as it is let.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "generator/roundtrip_case.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t FirstSeed = 1;
constexpr std::uint32_t SeedCount = 100;

TEST(GeneratorRoundTrip, EveryOldVersionOfRandomCasesBecomesTheNewOne) {
  TTempDir dir;
  const fs::path versions = dir.File("versions");
  const fs::path patch = dir.File("p.pat");
  const fs::path target = dir.File("apply/target");
  fs::create_directories(dir.File("tmp"));
  int trees = 0;
  int applied = 0;
  for (std::uint32_t seed = FirstSeed; seed < FirstSeed + SeedCount; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::vector<std::uint8_t> bytes = RandomBytes(256, seed);
    const roundtrip::TCase c = roundtrip::DeriveCase(bytes);
    trees += c.Tree ? 1 : 0;
    ASSERT_EQ(roundtrip::MakeCasePatch(c, versions, patch), 0);
    for (std::size_t k = 0; k < c.Olds.size(); ++k) {
      if (!roundtrip::Applies(c, k)) continue;
      SCOPED_TRACE("old version " + std::to_string(k + 1));
      ASSERT_TRUE(roundtrip::WriteVersion(c.Olds[k], c.Tree, target));
      TRunRequest request;
      request.Arguments = {patch.string(), "target"};
      request.WorkDir = dir.File("apply");
      request.Environment = {{"TZ", "UTC"}, {"TMPDIR", dir.File("tmp")}};
      const TRunResult result = RunProgram(request);
      ASSERT_EQ(result.ExitCode, 0) << result.Out << result.Err;
      EXPECT_EQ(roundtrip::CheckResult(c, k, target), "");
      EXPECT_TRUE(ListDirectory(dir.File("tmp")).empty());
      ++applied;
    }
  }
  // The range holds both kinds of case, and most old versions get a patch.
  EXPECT_GT(trees, static_cast<int>(SeedCount) / 4);
  EXPECT_LT(trees, static_cast<int>(SeedCount) * 3 / 4);
  EXPECT_GT(applied, static_cast<int>(SeedCount));
}

}  // namespace
}  // namespace mendrix::test
