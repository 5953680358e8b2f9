// The run driver: patch opened, temp directory settled, optional quiet test
// and search, test pass, then the report (test mode) or the apply pass.
#include "run/run.h"

#include <memory>
#include <string>

#include "console/console.h"
#include "delta/apply.h"
#include "fileio/fileio.h"
#include "install/entries.h"
#include "install/staging.h"
#include "patchfile/container.h"
#include "patchfile/entry_table.h"
#include "platform/platform.h"
#include "run/search.h"

namespace mendrix {

namespace {

constexpr char FirstDrive = 'C';  // A: and B: are never searched
constexpr char LastDrive = 'Z';

// The temp directory, ending in a separator: the system gives one.
std::string TempDirectory() { return OsTempPath(); }

// Looks for the targets in the current directory, then on the drives; the
// accepted candidate is then in options.OldPath and NewPath.
void SearchForTargets(TPatchContext& context, TWorkState& work, TRunOptions& options) {
  OutWriteLn("Scanning your harddisk(s) for target files...");
  // A damaged first entry stops the run before any directory is searched.
  SeekTo(context.PatchFile, context.EntryTableOffset);
  (void)ReadEntry(context);

  bool found = SearchTargets(context, work, options, ".\\", 0, 0);
  for (char drive = FirstDrive; !found && drive <= LastDrive; ++drive) {
    found = SearchTargets(context, work, options, std::string(1, drive) + ":\\", 1, 0);
  }
  if (!found) {
    FatalStop(
        "\r\nSeems that the file(s) that this patch is meant to modify, don't exist on\r\n"
        "this computer?! Maybe you need to reinstall or unzip it? Or you try to apply\r\n"
        "a patch to software you don't have?");
  }
}

// What a run owns, reachable from the exit hook: a fatal stop removes the
// run's own files, directories and noted times, whatever it was doing.
struct TRun {
  // Made once the patch is open; not zeroed: the buffers are written
  // before they are read.
  std::unique_ptr<TWorkState> Work;
  TOsExitHook Outer;  // the hook that was there before, called on after
};

void StopRun(int code, void* data) {
  TRun& run = *static_cast<TRun*>(data);
  if (run.Work != nullptr) RemoveCreatedFiles(run.Work->Files);
  OsReleaseInterrupts();
  (void)OsSetExitHook(run.Outer);
  if (run.Outer.Call != nullptr) run.Outer.Call(code, run.Outer.Data);
}

// The quiet test, the search and the test pass. True when the quiet test
// checked every entry of OldPath, whose lines the test pass then repeats.
void TestPatch(TPatchContext& context, TWorkState& work, TRunOptions& options, TInstallPlan& plan) {
  bool search = options.AutoScan;
  bool checked = false;  // every entry of OldPath has just passed the test quietly
  if (options.OldPath != ".") {
    // Quiet, and run even without -auto: a failure here that is fatal even
    // when quiet (a damaged patch) stops the run before anything is printed.
    checked = ProcessEntries(context, work, options, TPass::QuietTest, &plan);
    if (checked) {
      search = false;
    } else {
      DiscardPlan(work.Files, plan);
    }
  }
  if (search) SearchForTargets(context, work, options);

  if (checked) {
    // Nothing happened since the quiet test rebuilt, checked and staged
    // every entry of these targets: the test pass gives its lines without
    // doing that work a second time.
    RepeatTestPassLines(plan);
  } else if (!ProcessEntries(context, work, options, TPass::Test, &plan)) {
    FatalStop("Error, patch seems not applicable to " + options.OldPath);
  }
}

}  // namespace

void RunPatch(TRunOptions& options) {
  (void)TakeIoStatus();  // a run starts with no failure pending
  TRun run;
  run.Outer = OsSetExitHook({&StopRun, &run});
  TPatchContext context;
  OpenPatch(context, options.PatchName);
  PrintNotice(context.Notice);
  PressAnyKey();
  StopIfInterrupted();
  context.TempDir = TempDirectory();
  // Work files must never land in the current directory, which is often
  // the user's tree.
  if (context.TempDir.empty()) FatalStop("Error, can't buffer patchdata in temporary files!");

  // The pass that tests the targets also looks whether every result can be
  // put in place and, unless only testing, stages the results beside their
  // targets; the commit then puts them there.
  TInstallPlan plan;
  plan.Check = true;
  plan.Stage = !options.TestMode;
  run.Work = std::make_unique_for_overwrite<TWorkState>();
  TestPatch(context, *run.Work, options, plan);

  if (options.TestMode) {
    OutWriteLn("Ok. Patch applicable to \"" + options.OldPath + "\".\r\n");
  } else {
    OutWriteLn("Test Ok. Now applying patch.");
    CommitPlan(run.Work->Files, plan, context, options);
  }
  OutWriteLn("Done.");
  CloseDiskFile(context.PatchFile);
  (void)TakeIoStatus();  // only read from
  OsReleaseInterrupts();
  (void)OsSetExitHook(run.Outer);
}

}  // namespace mendrix
