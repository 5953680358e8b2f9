// A failing disk: every file-changing operation of a whole run (creating a
// file, each write, closing a written file, rename, link, unlink, mkdir,
// sync) is made to fail in turn, with ENOSPC or EIO, through a preloaded
// library that root can't bypass; and every link and rename of the commit
// of a tree patch with each of ENOSPC, EIO and EPERM, where hard links work
// and where they don't. After each run: exit code 0 or 1, a clear message
// on failure, no sanitizer report, no install copy, kept old file or work
// file left (except the one whose removal was made to fail), and either
// exactly the patch's result (a successful run) or everything below the
// target exactly as before: names, bytes, permissions, last-write times and
// the files themselves, not copies of them (a failed run).
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

#ifdef MENDRIX_FAULT_SHIM

constexpr int MaxReportedFailures = 8;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A scratch target, a patch and the shim's log, with the state before a run
// and after a clean one.
class TFaultBench {
 public:
  TFaultBench(const TRobustPatch& patch, const std::string& always)
      : Patch_(patch), Scratch_(patch.Tree), Log_(Scratch_.Path() + "/ops.log") {
    Scratch_.WritePatch(patch.Bytes);
    Counted_.Always = always;
    Counted_.Errno = EPERM;  // what a file system without hard links gives
    Before_ = Scratch_.FixedState();
  }

  // A clean run, counted; false (with a failure added) when it goes wrong.
  bool Start() {
    const TRunResult clean = Run(Counted_);
    EXPECT_EQ(clean.ExitCode, 0) << Describe(clean);
    Result_ = Scratch_.State();
    const std::string problem = ResultProblem(Before_, Result_, Patch_.After);
    EXPECT_EQ(problem, "") << "clean run of " << Patch_.Name;
    Ops_ = ReadOpLog(Log_);
    EXPECT_GT(Ops_.size(), 20u) << "the shim saw too few operations; is it preloaded?";
    return clean.ExitCode == 0 && problem.empty() && Ops_.size() > 20;
  }

  const std::vector<TCountedOp>& Ops() const { return Ops_; }

  // Runs with operation op failing with error; empty when the run left
  // things as it must, else what is wrong.
  std::string FailAt(const TCountedOp& op, int error, TRunResult& result) {
    Scratch_.Reset();
    TFaultPlan plan = Counted_;
    plan.At = op.Number;
    plan.Errno = error;
    result = Run(plan);
    return Problem(result, op);
  }

 private:
  TRunResult Run(const TFaultPlan& plan) {
    std::filesystem::remove(Log_);
    return Scratch_.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, Log_, plan));
  }

  std::string Problem(const TRunResult& result, const TCountedOp& op) const {
    if (result.TimedOut) return "timed out";
    if (result.Signal != 0) return "killed by signal " + std::to_string(result.Signal);
    if (result.ExitCode != 0 && result.ExitCode != 1) return "unexpected exit code";
    if (HasSanitizerReport(result.Err)) return "sanitizer report";
    if (result.ExitCode == 1 && LastMessage(result.Err).find("Error") == std::string::npos) {
      return "failed without an error message";
    }
    // Only a file whose removal failed may stay behind.
    auto removalFailed = [&](const std::string& name) {
      return op.Kind == "unlink" && BaseName(op.Path) == BaseName(name);
    };
    for (const std::string& name : Scratch_.TempLeftovers()) {
      if (!removalFailed(name)) return "work file left: " + name;
    }
    for (const std::string& name : Scratch_.BesideLeftovers()) {
      if (!removalFailed(name)) return "install copy left: " + name;
    }
    TTreeState now = Scratch_.State();
    std::vector<std::string> stays;
    for (const auto& [name, item] : now) {
      if (!item.Directory && removalFailed(name)) stays.push_back(name);
    }
    // With the directories made for it.
    std::erase_if(now, [&](const auto& item) {
      for (const std::string& name : stays) {
        if (name == item.first ||
            (Before_.count(item.first) == 0 && name.rfind(item.first + "\\", 0) == 0)) {
          return true;
        }
      }
      return false;
    });
    for (const auto& [name, item] : now) {
      if (IsWorkFileName(name)) return "install copy or kept file left: " + name;
    }
    const std::set<std::string> directoriesWritten = DirectoriesWritten(Scratch_, ReadOpLog(Log_));
    if (result.ExitCode == 0) {
      const std::string difference = StateDifference(Result_, now, directoriesWritten);
      return difference.empty() ? "" : "run succeeded without the patch's result: " + difference;
    }
    // Directory times too: a failed run puts them back.
    const std::string difference = StateDifference(Before_, now);
    return difference.empty() ? "" : "failed run changed the target: " + difference;
  }

  const TRobustPatch& Patch_;
  TScratch Scratch_;
  std::string Log_;
  TFaultPlan Counted_;
  TTreeState Before_;
  TTreeState Result_;
  std::vector<TCountedOp> Ops_;
};

class FaultInjection : public testing::TestWithParam<const char*> {};

TEST_P(FaultInjection, EveryFailingOperationLeavesFilesSound) {
  const TRobustPatch& patch = RobustPatch(GetParam());
  TFaultBench bench(patch, "");
  ASSERT_TRUE(bench.Start());

  int failures = 0;
  std::map<std::string, int> messages;  // last message of each failed run
  for (const TCountedOp& op : bench.Ops()) {
    TRunResult result;
    const std::string problem = bench.FailAt(op, op.Number % 2 == 0 ? EIO : ENOSPC, result);
    if (result.ExitCode == 1) ++messages[LastMessage(result.Err)];
    if (!problem.empty() && ++failures <= MaxReportedFailures) {
      ADD_FAILURE() << patch.Name << ", operation " << op.Number << " (" << op.Kind << " "
                    << op.Path << ") failing: " << problem << "\n  " << Describe(result);
    }
  }
  EXPECT_EQ(failures, 0);
  // Failures must show as failures: most operations matter to the result.
  EXPECT_GE(messages.size(), 2u);
  for (const auto& [message, count] : messages) {
    std::printf("  %4d failed runs: %s\n", count, message.c_str());
  }
}

// A single-file patch (the old file is deleted only once the new one is
// complete); a tree patch with backups and new embedded files; one whose
// embedded files are written over files of the tree.
INSTANTIATE_TEST_SUITE_P(Patches, FaultInjection,
                         testing::Values("single_copy_insert", "tree_mixed", "tree_overwritten"),
                         [](const testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param);
                         });

struct TCommitCase {
  const char* Patch;
  bool WithoutLinks;  // on a file system without hard links
};

void PrintTo(const TCommitCase& c, std::ostream* out) {
  *out << c.Patch << (c.WithoutLinks ? " without links" : "");
}

class CommitFailure : public testing::TestWithParam<TCommitCase> {};

// The commit gives old files their backup names and puts the results in
// place; a failure there must put back what it did for the entries before.
TEST_P(CommitFailure, EveryFailingLinkOrRenameCommitsAllOrNothing) {
  const TRobustPatch& patch = RobustPatch(GetParam().Patch);
  TFaultBench bench(patch, GetParam().WithoutLinks ? "link" : "");
  ASSERT_TRUE(bench.Start());

  int failures = 0;
  int succeeded = 0;
  int rolledBack = 0;  // failed runs with an entry in place before the failure
  bool committed = false;
  for (const TCountedOp& op : bench.Ops()) {
    if (op.Kind != "link" && op.Kind != "rename") continue;
    for (int error : {ENOSPC, EIO, EPERM}) {
      TRunResult result;
      const std::string problem = bench.FailAt(op, error, result);
      if (result.ExitCode == 0) ++succeeded;
      if (result.ExitCode == 1 && committed) ++rolledBack;
      if (!problem.empty() && ++failures <= MaxReportedFailures) {
        ADD_FAILURE() << patch.Name << ", " << op.Kind << " " << op.Path << " (operation "
                      << op.Number << ") failing with " << error << ": " << problem << "\n  "
                      << Describe(result);
      }
    }
    // A rename onto a target puts its result in place (the patches here
    // keep their backups in Backup).
    committed = committed || (op.Kind == "rename" && !IsWorkFileName(op.Path) &&
                              op.Path.find("/Backup/") == std::string::npos);
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GT(rolledBack, 0) << "no failure came after an entry was in place";
  std::printf("  %d runs succeeded, %d failed after an entry was in place\n", succeeded,
              rolledBack);
}

// Backups and new embedded files; renamed sources, a file already new and a
// chain of variants; embedded files written over old ones, kept until the
// commit is done.
INSTANTIATE_TEST_SUITE_P(Trees, CommitFailure,
                         testing::Values(TCommitCase{"tree_mixed", false},
                                         TCommitCase{"tree_mixed", true},
                                         TCommitCase{"tree_renamed", false},
                                         TCommitCase{"tree_renamed", true},
                                         TCommitCase{"tree_overwritten", false},
                                         TCommitCase{"tree_overwritten", true}),
                         [](const testing::TestParamInfo<TCommitCase>& param) {
                           return std::string(param.param.Patch) +
                                  (param.param.WithoutLinks ? "_without_links" : "");
                         });

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
