// The valid patches that seed the sweeps and the fuzzer apply to their fixed
// targets with exactly the bytes an independent model of the delta coding
// predicts, and a second run behaves as a repeated run should.
#include <gtest/gtest.h>

#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

TEST(RobustPatches, EveryPatchAppliesToItsFixedTarget) {
  ASSERT_GE(RobustPatches().size(), 10u);
  for (const TRobustPatch& patch : RobustPatches()) {
    SCOPED_TRACE(patch.Name);
    TScratch scratch(patch.Tree);
    scratch.WritePatch(patch.Bytes);

    TRunResult first = scratch.Run();
    ASSERT_EQ(first.ExitCode, 0) << Describe(first);
    EXPECT_EQ(scratch.Snapshot(), ToSnapshot(patch.After));
    EXPECT_TRUE(scratch.TempLeftovers().empty());

    // Tree patches find every file already patched (embedded files are
    // written again); a single-file target is then in no source version.
    TRunResult second = scratch.Run();
    EXPECT_EQ(second.ExitCode, patch.Tree ? 0 : 1) << Describe(second);
    EXPECT_EQ(scratch.Snapshot(), ToSnapshot(patch.After));
    EXPECT_TRUE(scratch.TempLeftovers().empty());
  }
}

}  // namespace
}  // namespace mendrix::test
