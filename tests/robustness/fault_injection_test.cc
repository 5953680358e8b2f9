// A failing disk: every file-changing operation of a whole run (creating a
// file, each write, closing a written file, rename, link, unlink, mkdir) is
// made to fail in turn, with ENOSPC or EIO, through a preloaded library that
// root can't bypass. After each run: exit code 0 or 1, a clear message on
// failure, no sanitizer report, every target wholly old or wholly new (a
// single-file target wholly old after a failure), no install copy or work
// file left (except the one whose removal was made to fail), and, when the
// run says it succeeded, exactly the patch's result.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

#ifdef MENDRIX_FAULT_SHIM

constexpr int MaxReportedFailures = 8;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What is wrong with one run whose operation op failed (empty when nothing).
std::string FaultProblem(const TScratch& scratch, const TRobustPatch& patch,
                         const TRunResult& result, const TCountedOp& op) {
  if (result.TimedOut) return "timed out";
  if (result.Signal != 0) return "killed by signal " + std::to_string(result.Signal);
  if (result.ExitCode != 0 && result.ExitCode != 1) return "unexpected exit code";
  if (HasSanitizerReport(result.Err)) return "sanitizer report";
  if (result.ExitCode == 1 && LastMessage(result.Err).find("Error") == std::string::npos) {
    return "failed without an error message";
  }
  // Only a file whose removal failed may stay behind.
  auto removalFailed = [&](const std::string& name) {
    return op.Kind == "unlink" && BaseName(op.Path) == BaseName(TScratch::SystemName(name));
  };
  for (const std::string& name : scratch.TempLeftovers()) {
    if (!removalFailed(name)) return "work file left: " + name;
  }
  for (const std::string& name : scratch.BesideLeftovers()) {
    if (!removalFailed(name)) return "install copy left: " + name;
  }
  const TSnapshot before = FixedSnapshot(patch.Tree);
  const TSnapshot after = ToSnapshot(patch.After);
  const TSnapshot now = scratch.Snapshot();
  if (result.ExitCode == 0) {
    TSnapshot withoutLeftovers = now;
    std::erase_if(withoutLeftovers, [&](const auto& item) { return removalFailed(item.first); });
    return withoutLeftovers == after ? "" : "run succeeded without the patch's result";
  }
  if (!patch.Tree) return now == before ? "" : "failed run changed the old file";
  // Entries installed before the failure stay installed.
  return TargetsProblem(before, after, now, removalFailed);
}

class FaultInjection : public testing::TestWithParam<const char*> {};

TEST_P(FaultInjection, EveryFailingOperationLeavesFilesSound) {
  const TRobustPatch& patch = RobustPatch(GetParam());
  TScratch scratch(patch.Tree);
  scratch.WritePatch(patch.Bytes);
  const std::string log = scratch.Path() + "/ops.log";

  // A clean run, counted.
  const TRunResult clean = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, {}));
  ASSERT_EQ(clean.ExitCode, 0) << Describe(clean);
  ASSERT_EQ(scratch.Snapshot(), ToSnapshot(patch.After));
  const std::vector<TCountedOp> ops = ReadOpLog(log);
  ASSERT_GT(ops.size(), 20u) << "the shim saw too few operations; is it preloaded?";

  int failures = 0;
  std::map<std::string, int> messages;  // last message of each failed run
  for (const TCountedOp& op : ops) {
    scratch.Reset();
    std::filesystem::remove(log);
    TFaultPlan plan;
    plan.At = op.Number;
    plan.Errno = op.Number % 2 == 0 ? EIO : ENOSPC;
    const TRunResult result = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, plan));
    if (result.ExitCode == 1) ++messages[LastMessage(result.Err)];
    const std::string problem = FaultProblem(scratch, patch, result, op);
    if (!problem.empty() && ++failures <= MaxReportedFailures) {
      ADD_FAILURE() << patch.Name << ", operation " << op.Number << " (" << op.Kind << " "
                    << op.Path << ") failing: " << problem << "\n  " << Describe(result);
    }
  }
  EXPECT_EQ(failures, 0);
  // Failures must show as failures: most operations matter to the result.
  EXPECT_GE(messages.size(), 3u);
  for (const auto& [message, count] : messages) {
    std::printf("  %4d failed runs: %s\n", count, message.c_str());
  }
}

// A single-file patch (the old file is deleted only once the new one is
// complete) and a tree patch with backups and embedded files.
INSTANTIATE_TEST_SUITE_P(Patches, FaultInjection,
                         testing::Values("single_copy_insert", "tree_mixed"));

#endif  // MENDRIX_FAULT_SHIM

// Failures of the file system itself, without the shim.
TEST(FaultInjection, UnusableTempDirectoryStopsBeforeAnythingChanges) {
  struct TCase {
    const char* Name;
    const char* TempDir;  // relative to the scratch directory
  };
  const TCase cases[] = {
      {"temp path through a regular file (ENOTDIR)", "patch.pat/tmp"},
      {"temp directory missing", "no such directory"},
  };
  for (bool tree : {false, true}) {
    const TRobustPatch& patch = RobustPatch(tree ? "tree_mixed" : "single_copy_insert");
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::string(c.Name) + (tree ? ", tree" : ", single file"));
      TScratch scratch(tree);
      scratch.WritePatch(patch.Bytes);
      TRunRequest request;
      request.Arguments = {scratch.PatchPath(), scratch.TargetPath()};
      request.WorkDir = scratch.Path();
      const std::string temp = scratch.Path() + "/" + c.TempDir;
      request.Environment = {{"TMPDIR", temp}, {"TMP", temp}, {"TEMP", temp}};
      const TRunResult result = RunProgram(request);
      EXPECT_EQ(result.ExitCode, 1) << Describe(result);
      EXPECT_EQ(LastMessage(result.Err), "Error, can't buffer patchdata in temporary files!");
      EXPECT_EQ(scratch.Snapshot(), FixedSnapshot(tree));
    }
  }
}

}  // namespace
}  // namespace mendrix::test
