// A killed process: a whole run is killed with SIGKILL just before each of
// its file-changing operations in turn (through the preloaded fault shim),
// from the last one before the run first touches the target's directory.
// Every target must then be wholly old or wholly new, and running the same
// patch again must finish the job: the patch's result, with the backups of
// a tree patch, and no install copy of the killed run left beside a target
// (see UnprovableLeftover for the one kind the second run can't know for
// its own). Work files of the killed run may stay in the temp directory:
// nothing tells them from another run's. (Where the file system has no hard
// links there is one known gap, see BetweenTheTwoRenames.)
#include <gtest/gtest.h>

#include <csignal>
#include <ostream>
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

bool IsEmbedded(const TRobustPatch& patch, const std::string& name) {
  for (const auto& span : patch.Embedded) {
    if (span.Name == name) return true;
  }
  return false;
}

// The one leftover a second run can't know for its own: an embedded file
// written over an old one has no backup, and the commit keeps the old file
// under a name of its own (target.DWX<n>) until the new one is in place and
// the commit is done, then removes that name. A run killed in between
// leaves the kept name with the old bytes. A second run removes only the
// leftovers whose bytes begin what it stages itself, which these never do;
// and once the new file stands at the target the kept name is the only copy
// of the old bytes, which nothing tells from a file the user put there.
// (Killed before the rename onto the target, the kept name is still a
// second link of the target, which a second run could see; it leaves that
// one as well.) True for such a name.
bool UnprovableLeftover(const TRobustPatch& patch, const TSnapshot& before,
                        const std::string& name, const TByteVector& bytes) {
  const std::size_t suffix = name.rfind(".DWX");
  if (suffix == std::string::npos || !IsWorkFileName(name)) return false;
  const std::string target = name.substr(0, suffix);
  auto old = before.find(target);
  return IsEmbedded(patch, target) && old != before.end() && old->second == bytes;
}

// Without hard links the old file is renamed to its backup name and the
// new one renamed into place after it: killed between the two renames, the
// target is missing, its old bytes whole under the backup name and its new
// ones whole beside it. Nothing is lost, but a second run finds no source
// version; the user has to move one of the two files back by hand. True when
// now shows that state (for at least one target) and nothing else wrong;
// now is then changed to show the old files back in place.
bool BetweenTheTwoRenames(const TSnapshot& before, const TSnapshot& after, TSnapshot& now) {
  bool found = false;
  for (const auto& [name, bytes] : before) {
    if (now.count(name) != 0 || after.count(name) == 0) continue;
    auto backup = now.find("Backup\\" + name);
    if (backup == now.end() || backup->second != bytes) continue;
    for (const auto& [other, otherBytes] : now) {
      if (other.rfind(name + ".DWX", 0) == 0 && otherBytes == after.at(name)) {
        now[name] = bytes;
        now.erase("Backup\\" + name);
        found = true;
        break;
      }
    }
  }
  return found;
}

// The same for an embedded file written over an old one: without hard links
// the old file is renamed to its kept name (target.DWX<n>) and the new one
// into place after it. Killed between the two, the target is missing, its
// old bytes whole under the kept name and its new ones whole under the
// staged name. A second run needs no old version to write the file again
// and finishes the job; the kept name stays (see UnprovableLeftover). True
// when now shows that state for at least one target; now is then changed
// to show the old files back in place.
bool KeptBetweenTheTwoRenames(const TRobustPatch& patch, const TSnapshot& before,
                              const TSnapshot& after, TSnapshot& now) {
  bool found = false;
  for (const auto& [name, bytes] : before) {
    if (now.count(name) != 0 || after.count(name) == 0 || !IsEmbedded(patch, name)) continue;
    bool kept = false;
    bool staged = false;
    for (const auto& [other, otherBytes] : now) {
      if (other.rfind(name + ".DWX", 0) != 0 || !IsWorkFileName(other)) continue;
      kept = kept || otherBytes == bytes;
      staged = staged || otherBytes == after.at(name);
    }
    if (kept && staged) {
      now[name] = bytes;
      found = true;
    }
  }
  return found;
}

struct TCrashCase {
  const char* Patch;
  const char* Always;  // operations the file system refuses: "link", no hard links
};

void PrintTo(const TCrashCase& c, std::ostream* out) {
  *out << c.Patch << (c.Always[0] != '\0' ? " without links" : "");
}

class CrashConsistency : public testing::TestWithParam<TCrashCase> {};

TEST_P(CrashConsistency, KilledAtAnyOperationLosesNothingAndARerunFinishes) {
  const TRobustPatch& patch = RobustPatch(GetParam().Patch);
  TFaultPlan counted;
  counted.Always = GetParam().Always;
  counted.Errno = 1;  // EPERM, as a file system without hard links gives
  const TSnapshot before = FixedSnapshot(patch.Tree);
  const TSnapshot after = ToSnapshot(patch.After);
  TScratch scratch(patch.Tree);
  scratch.WritePatch(patch.Bytes);
  const std::string log = scratch.Path() + "/ops.log";

  const TRunResult clean = scratch.Run(FaultEnvironment(MENDRIX_FAULT_SHIM, log, counted));
  ASSERT_EQ(clean.ExitCode, 0) << Describe(clean);
  const std::vector<TCountedOp> ops = ReadOpLog(log);
  ASSERT_GT(ops.size(), 20u) << "the shim saw too few operations; is it preloaded?";

  int failures = 0;
  int betweenRenames = 0;
  int keptBetweenRenames = 0;
  int unprovable = 0;
  auto report = [&](const TCountedOp& op, const std::string& problem, const TRunResult& result) {
    if (++failures <= MaxReportedFailures) {
      ADD_FAILURE() << patch.Name << ", killed before operation " << op.Number << " (" << op.Kind
                    << " " << op.Path << "): " << problem << "\n  " << Describe(result);
    }
  };
  // Until the run first touches the target's directory it has written only
  // work files: one kill there stands for all of them.
  std::size_t firstAtTarget = 0;
  // (A single-file target's install copy is named after it.)
  const std::string atTarget = scratch.TargetPath() + (scratch.Tree() ? "/" : "");
  while (firstAtTarget < ops.size() && ops[firstAtTarget].Path.rfind(atTarget, 0) != 0) {
    ++firstAtTarget;
  }
  ASSERT_LT(firstAtTarget, ops.size()) << "no operation at " << atTarget;
  for (std::size_t index = 0; index < ops.size(); ++index) {
    if (index != 0 && index + 1 < firstAtTarget) continue;
    const TCountedOp& op = ops[index];
    scratch.Reset();
    std::filesystem::remove(log);
    TFaultPlan plan = counted;
    plan.At = op.Number;
    plan.Kill = true;
    const TRunResult killed =
        scratch.Run(WithoutLeakCheck(FaultEnvironment(MENDRIX_FAULT_SHIM, log, plan)));
    if (killed.Signal != SIGKILL) {
      report(op, "the run was not killed there", killed);
      continue;
    }
    TSnapshot now = scratch.Snapshot();
    const bool noLinks = std::string(GetParam().Always) == "link";
    const bool between = noLinks && BetweenTheTwoRenames(before, after, now);
    TSnapshot shown = now;
    if (noLinks && KeptBetweenTheTwoRenames(patch, before, after, shown)) ++keptBetweenRenames;
    std::string problem =
        TargetsProblem(before, after, shown, [](const std::string&) { return true; });
    if (!problem.empty()) {
      report(op, problem, killed);
      continue;
    }
    if (between) {
      ++betweenRenames;
      continue;
    }

    // Again, as a user would: it finishes what the killed run began. A
    // single-file target that is already new is in no source version any
    // more, and stays as it is.
    const bool alreadyDone = !patch.Tree && WithoutWorkFiles(now) == after;
    const TRunResult rerun =
        scratch.Run(WithoutLeakCheck(FaultEnvironment(MENDRIX_FAULT_SHIM, log, counted)));
    if (rerun.ExitCode != (alreadyDone ? 1 : 0) || HasSanitizerReport(rerun.Err)) {
      report(op, "the second run did not finish the job", rerun);
      continue;
    }
    TSnapshot result = scratch.Snapshot();
    std::erase_if(result, [&](const auto& item) {
      if (!UnprovableLeftover(patch, before, item.first, item.second)) return false;
      ++unprovable;
      return true;
    });
    if (WithoutWorkFiles(result) != after) {
      report(op, "the second run left something other than the result", rerun);
    } else if (result != after || !scratch.BesideLeftovers().empty()) {
      report(op, "an install copy of the killed run is still there", rerun);
    }
  }
  EXPECT_EQ(failures, 0);
  if (betweenRenames > 0) {
    std::printf("  %d kill points between the backup rename and the install rename\n",
                betweenRenames);
  }
  if (keptBetweenRenames > 0) {
    std::printf("  %d kill points between the kept-name rename and the install rename\n",
                keptBetweenRenames);
  }
  if (unprovable > 0) std::printf("  %d kept old files left after the second run\n", unprovable);
}

// A single-file patch; a tree patch with backups and new embedded files;
// one with renamed sources, a file already new and a chain of two variants;
// one whose embedded files are written over old ones; the first and the
// last tree patch again on a file system without hard links.
INSTANTIATE_TEST_SUITE_P(Patches, CrashConsistency,
                         testing::Values(TCrashCase{"single_copy_insert", ""},
                                         TCrashCase{"tree_mixed", ""},
                                         TCrashCase{"tree_renamed", ""},
                                         TCrashCase{"tree_overwritten", ""},
                                         TCrashCase{"tree_mixed", "link"},
                                         TCrashCase{"tree_overwritten", "link"}),
                         [](const testing::TestParamInfo<TCrashCase>& param) {
                           return std::string(param.param.Patch) +
                                  (param.param.Always[0] != '\0' ? "_without_links" : "");
                         });

#endif  // MENDRIX_FAULT_SHIM

}  // namespace
}  // namespace mendrix::test
