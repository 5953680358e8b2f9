// Interrupts: SIGINT, SIGTERM and SIGHUP, each sent just before every
// counted file operation of a whole run in turn (by the preloaded fault
// shim; the handler runs, then the operation goes on). Until the staged
// results are made durable the run must stop: exit code 1 with
// "Interrupted; nothing was changed." as its last message, everything below
// the target exactly as before (names, bytes, permissions, last-write times,
// the files themselves). From the commit on the interrupt waits: exit code 0
// with exactly the patch's result. Either way nothing may be left in the
// temp directory or beside the targets.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "robustness/robust_helpers.h"

namespace mendrix::test {
namespace {

#ifdef MENDRIX_FAULT_SHIM

constexpr int MaxReportedFailures = 8;
constexpr const char* InterruptedMessage = "Interrupted; nothing was changed.";

class Interrupts : public testing::TestWithParam<const char*> {};

TEST_P(Interrupts, StopCleanlyBeforeTheCommitAndWaitDuringIt) {
  const TRobustPatch& patch = RobustPatch(GetParam());
  TScratch scratch(patch.Tree);
  scratch.WritePatch(patch.Bytes);
  const std::string log = scratch.Path() + "/ops.log";
  const TTreeState before = scratch.FixedState();

  std::filesystem::remove(log);
  const TRunResult clean = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, {}));
  ASSERT_EQ(clean.ExitCode, 0) << Describe(clean);
  const TTreeState result = scratch.State();
  ASSERT_EQ(ResultProblem(before, result, patch.After), "");
  const std::vector<TCountedOp> ops = ReadOpLog(log);

  // The sync just before the first link or rename makes the staged results
  // durable: an interrupt before it must stop the run, one after it comes
  // during the commit. At the sync itself either is right.
  std::size_t firstName = 0;
  while (firstName < ops.size() && ops[firstName].Kind != "link" &&
         ops[firstName].Kind != "rename") {
    ++firstName;
  }
  ASSERT_LT(firstName, ops.size()) << "the clean run renamed nothing";
  std::size_t lastSync = firstName;
  while (lastSync > 0 && ops[lastSync].Kind != "sync") --lastSync;
  ASSERT_EQ(ops[lastSync].Kind, "sync") << "no sync before the commit";
  std::size_t firstSync = lastSync;
  while (firstSync > 0 && ops[firstSync - 1].Kind == "sync") --firstSync;

  struct TSignal {
    int Number;
    const char* Name;
  };
  const TSignal signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  int failures = 0;
  int stopped = 0;
  int finished = 0;
  for (const TSignal& signal : signals) {
    for (std::size_t index = 0; index < ops.size(); ++index) {
      const TCountedOp& op = ops[index];
      scratch.Reset();
      std::filesystem::remove(log);
      TFaultPlan plan;
      plan.At = op.Number;
      plan.Signal = signal.Number;
      // The leak check stays on for one signal: the three take one way out.
      TEnvironment environment = FaultEnvironment(MENDRIX_FAULT_SHIM, log, plan);
      if (signal.Number != SIGINT) environment = WithoutLeakCheck(environment);
      const TRunResult run = scratch.Run(environment);

      const TTreeState now = scratch.State();
      const std::set<std::string> written = DirectoriesWritten(scratch, ReadOpLog(log));
      std::string problem;
      if (run.TimedOut || run.Signal != 0 || HasSanitizerReport(run.Err)) {
        problem = "did not end by itself";
      } else if (const std::string left = LeftoverName(scratch, now); !left.empty()) {
        problem = "left " + left;
      } else if (run.ExitCode == 1) {
        ++stopped;
        if (index > lastSync) {
          problem = "stopped during the commit";
        } else if (LastMessage(run.Err) != InterruptedMessage) {
          problem = "last message: " + LastMessage(run.Err);
        } else if (const std::string d = StateDifference(before, now); !d.empty()) {
          // Directory times too: a stopped run puts them back.
          problem = "stopped, but changed the target: " + d;
        }
      } else if (run.ExitCode == 0) {
        ++finished;
        if (index < firstSync) {
          problem = "went on after an interrupt before the commit";
        } else if (const std::string d = StateDifference(result, now, written); !d.empty()) {
          problem = "finished without the patch's result: " + d;
        }
      } else {
        problem = "exit code " + std::to_string(run.ExitCode);
      }
      if (!problem.empty() && ++failures <= MaxReportedFailures) {
        ADD_FAILURE() << patch.Name << ", " << signal.Name << " before operation " << op.Number
                      << " (" << op.Kind << " " << op.Path << "): " << problem << "\n  "
                      << Describe(run);
      }
    }
  }
  EXPECT_EQ(failures, 0);
  // Both ways out were taken: the sweep reached into the commit.
  EXPECT_GT(stopped, 0);
  EXPECT_GT(finished, 0);
  std::printf("  %d runs stopped, %d finished the commit\n", stopped, finished);
}

// A single-file patch; a tree patch with backups and new embedded files; one
// whose embedded files are written over old ones, kept until the commit is
// done.
INSTANTIATE_TEST_SUITE_P(Patches, Interrupts,
                         testing::Values("single_copy_insert", "tree_mixed", "tree_overwritten"),
                         [](const testing::TestParamInfo<const char*>& param) {
                           return std::string(param.param);
                         });

#endif  // MENDRIX_FAULT_SHIM

}  // namespace
}  // namespace mendrix::test
