// Inputs that once found a fault in fuzzing (tools/fuzz/regressions) are run
// through the program on a fresh copy of the fixed target they were found
// with: exit code 0 or 1, no sanitizer report, no work file or install copy
// left, a single-file target wholly old unless the run succeeded, and
// memory close to that of a run that stops at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "patchfile/patch_format.h"
#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

// The patch kind as the run will read it: from the header the trailer
// points at (a patch without a usable trailer counts as single-file).
bool IsTreePatch(const TByteVector& bytes) {
  if (bytes.size() < static_cast<std::size_t>(TrailerSize)) return false;
  const std::size_t trailer = bytes.size() - TrailerSize;
  const std::uint32_t length = std::uint32_t{bytes[trailer]} | std::uint32_t{bytes[trailer + 1]} << 8 |
                               std::uint32_t{bytes[trailer + 2]} << 16 |
                               std::uint32_t{bytes[trailer + 3]} << 24;
  if (length < static_cast<std::uint32_t>(HeaderSize) || length > bytes.size()) return false;
  return bytes[bytes.size() - length + 8] == TreePatchKind;
}

// Resident memory a run may take beyond that of a run that stops at once:
// a patch never sizes the program's memory.
constexpr long ExtraResidentLimitKb = 4096;

TEST(FuzzRegressions, EveryKeptInputEndsCleanly) {
  const std::string directory = std::string(MENDRIX_SOURCE_DIR) + "/tools/fuzz/regressions";
  std::vector<std::string> names = ListDirectory(directory);
  std::erase_if(names, [](const std::string& name) { return name.rfind('.') == 0; });
  ASSERT_FALSE(names.empty()) << "no inputs in " << directory;
  long baselineKb = 0;
  {
    TScratch scratch(false);
    scratch.WritePatch({});
    baselineKb = scratch.Run().MaxResidentKb;
  }
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const TByteVector bytes = ReadFileBytes(directory + "/" + name);
    TScratch scratch(IsTreePatch(bytes));
    scratch.WritePatch(bytes);
    const TRunResult result = scratch.Run({}, 20);
    EXPECT_TRUE(result.ExitCode == 0 || result.ExitCode == 1) << Describe(result);
    EXPECT_FALSE(HasSanitizerReport(result.Err)) << result.Err;
    EXPECT_LT(result.MaxResidentKb - baselineKb, ExtraResidentLimitKb);
    EXPECT_TRUE(scratch.TempLeftovers().empty());
    EXPECT_TRUE(scratch.BesideLeftovers().empty());
    for (const auto& [file, content] : scratch.Snapshot()) {
      // A name the patch gives itself is no leftover. Windows gives names
      // outside ASCII back in another encoding than the patch's bytes, so
      // only the part after the last such byte is looked for.
      const std::string base = file.substr(file.find_last_of("/\\") + 1);
      const auto wide = std::find_if(base.rbegin(), base.rend(), [](char c) {
        return static_cast<std::uint8_t>(c) >= 0x80;
      });
      const std::string tail(wide.base(), base.end());
      const bool named = std::search(bytes.begin(), bytes.end(), tail.begin(), tail.end(),
                                     [](std::uint8_t a, char b) {
                                       return a == static_cast<std::uint8_t>(b);
                                     }) != bytes.end();
      EXPECT_FALSE(IsWorkFileName(file) && !named) << file;
    }
    if (!scratch.Tree() && result.ExitCode != 0) {
      EXPECT_EQ(scratch.Snapshot(), FixedSnapshot(false));
    }
  }
}

}  // namespace
}  // namespace mendrix::test
