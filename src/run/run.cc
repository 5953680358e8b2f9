// The run driver: patch opened, temp directory settled, optional quiet test
// and search, test pass, then the report (test mode) or the apply pass.
#include "run/run.h"

#include <string>

#include "console/console.h"
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

std::string TempDirectory() {
  std::string path = OsTempPath();
  if (!path.empty() && path.back() != '\\' && path.back() != '/') path += '\\';
  return path;
}

// Looks for the targets in the current directory, then on the drives; the
// accepted candidate is then in options.OldPath and NewPath.
void SearchForTargets(TPatchContext& context, TRunOptions& options) {
  OutWriteLn("Scanning your harddisk(s) for target files...");
  // A damaged first entry stops the run before any directory is searched.
  SeekTo(context.PatchFile, context.EntryTableOffset);
  (void)ReadEntry(context, options);

  bool found = SearchTargets(context, options, ".\\", 0, 0);
  for (char drive = FirstDrive; !found && drive <= LastDrive; ++drive) {
    found = SearchTargets(context, options, std::string(1, drive) + ":\\", 1, 0);
  }
  if (!found) {
    FatalStop(
        "\r\nSeems that the file(s) that this patch is meant to modify, don't exist on\r\n"
        "this computer?! Maybe you need to reinstall or unzip it? Or you try to apply\r\n"
        "a patch to software you don't have?");
  }
}

}  // namespace

void RunPatch(TRunOptions& options) {
  TPatchContext context;
  OpenPatch(context, options);
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

  bool search = options.AutoScan;
  bool checked = false;  // every entry of OldPath has just passed the test quietly
  if (options.OldPath != ".") {
    // Quiet, and run even without -auto: a failure here that is fatal even
    // when quiet (a damaged patch) stops the run before anything is printed.
    checked = ProcessEntries(context, options, true, true, &plan);
    if (checked) {
      search = false;
    } else {
      DiscardPlan(plan);
    }
  }
  if (search) SearchForTargets(context, options);

  const std::string notApplicable = "Error, patch seems not applicable to ";
  if (checked) {
    // Nothing happened since the quiet test rebuilt, checked and staged
    // every entry of these targets: the test pass gives its lines without
    // doing that work a second time.
    RepeatTestPassLines(plan);
  } else if (!ProcessEntries(context, options, true, false, &plan)) {
    FatalStop(notApplicable + options.OldPath);
  }

  if (options.TestMode) {
    OutWriteLn("Ok. Patch applicable to \"" + options.OldPath + "\".\r\n");
  } else {
    OutWriteLn("Test Ok. Now applying patch.");
    CommitPlan(plan, context, options, false);
  }
  OutWriteLn("Done.");
  CloseDiskFile(context.PatchFile);
  (void)TakeIoStatus();  // only read from
}

}  // namespace mendrix
