// A killed process: a whole run is killed with SIGKILL just before each of
// its file-changing operations in turn (through the preloaded fault shim).
// Every target must then be wholly old or wholly new, and running the same
// patch again must finish the job: the patch's result, with the backups of
// a tree patch. Work files and install copies of the killed run may stay
// behind; nothing else may.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

#ifdef MENDRIX_FAULT_SHIM

constexpr int MaxReportedFailures = 8;

TSnapshot WithoutWorkFiles(TSnapshot snapshot) {
  std::erase_if(snapshot, [](const auto& item) { return IsWorkFileName(item.first); });
  return snapshot;
}

class CrashConsistency : public testing::TestWithParam<const char*> {};

TEST_P(CrashConsistency, KilledAtAnyOperationLosesNothingAndARerunFinishes) {
  const TRobustPatch& patch = RobustPatch(GetParam());
  const TSnapshot before = FixedSnapshot(patch.Tree);
  const TSnapshot after = ToSnapshot(patch.After);
  TScratch scratch(patch.Tree);
  scratch.WritePatch(patch.Bytes);
  const std::string log = scratch.Path() + "/ops.log";

  const TRunResult clean = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, {}));
  ASSERT_EQ(clean.ExitCode, 0) << Describe(clean);
  const std::vector<TCountedOp> ops = ReadOpLog(log);
  ASSERT_GT(ops.size(), 20u) << "the shim saw too few operations; is it preloaded?";

  int failures = 0;
  auto report = [&](const TCountedOp& op, const std::string& problem, const TRunResult& result) {
    if (++failures <= MaxReportedFailures) {
      ADD_FAILURE() << patch.Name << ", killed before operation " << op.Number << " (" << op.Kind
                    << " " << op.Path << "): " << problem << "\n  " << Describe(result);
    }
  };
  for (const TCountedOp& op : ops) {
    scratch.Reset();
    std::filesystem::remove(log);
    TFaultPlan plan;
    plan.At = op.Number;
    plan.Kill = true;
    const TRunResult killed = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, plan));
    if (killed.Signal != SIGKILL) {
      report(op, "the run was not killed there", killed);
      continue;
    }
    const TSnapshot now = scratch.Snapshot();
    std::string problem =
        TargetsProblem(before, after, now, [](const std::string&) { return true; });
    if (!problem.empty()) {
      report(op, problem, killed);
      continue;
    }

    // Again, as a user would: it finishes what the killed run began. A
    // single-file target that is already new is in no source version any
    // more, and stays as it is.
    const bool alreadyDone = !patch.Tree && WithoutWorkFiles(now) == after;
    const TRunResult rerun = scratch.Run();
    if (rerun.ExitCode != (alreadyDone ? 1 : 0) || HasSanitizerReport(rerun.Err)) {
      report(op, "the second run did not finish the job", rerun);
      continue;
    }
    if (WithoutWorkFiles(scratch.Snapshot()) != after) {
      report(op, "the second run left something other than the result", rerun);
    }
  }
  EXPECT_EQ(failures, 0);
}

// A single-file patch; a tree patch with backups and embedded files; one
// with renamed sources, a file already new and a chain of two variants.
INSTANTIATE_TEST_SUITE_P(Patches, CrashConsistency,
                         testing::Values("single_copy_insert", "tree_mixed", "tree_renamed"));

#endif  // MENDRIX_FAULT_SHIM

}  // namespace
}  // namespace mendrix::test
