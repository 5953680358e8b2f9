// The run driver: patch opened, temp directory settled, optional quiet test
// and search, test pass, then the report (test mode) or the apply pass.
#include "run/run.h"

#include <string>

#include "console/console.h"
#include "fileio/fileio.h"
#include "patchfile/container.h"
#include "patchfile/entry_table.h"
#include "platform/platform.h"
#include "run/search.h"
#include "install/entries.h"

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
  context.TempDir = TempDirectory();

  bool search = options.AutoScan;
  bool checked = false;  // every entry of OldPath has just passed the test quietly
  if (options.OldPath != ".") {
    // Quiet, and run even without -auto: a failure here that is fatal even
    // when quiet (a damaged patch) stops the run before anything is printed.
    checked = ProcessEntries(context, options, true, true);
    if (checked) search = false;
  }
  if (search) SearchForTargets(context, options);

  const std::string notApplicable = "Error, patch seems not applicable to ";
  if (checked) {
    // Nothing happened since the quiet test rebuilt and checked every entry
    // of these targets: the test pass gives its lines without doing that work
    // a second time. The apply pass rebuilds and checks each entry again.
    RepeatTestPassLines(context, options);
  } else if (!ProcessEntries(context, options, true, false)) {
    FatalStop(notApplicable + options.OldPath);
  }

  if (options.TestMode) {
    OutWriteLn("Ok. Patch applicable to \"" + options.OldPath + "\".\r\n");
  } else {
    OutWriteLn("Test Ok. Now applying patch.");
    // A walk that stops short has not patched everything: that is a failure,
    // not a finished run.
    if (!ProcessEntries(context, options, false, false)) FatalStop(notApplicable + options.OldPath);
  }
  OutWriteLn("Done.");
  CloseDiskFile(context.PatchFile);
  (void)TakeIoStatus();  // only read from
}

}  // namespace mendrix
