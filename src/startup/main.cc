// Mendrix: applies a binary patch to a file or a directory tree.
#include "console/console.h"
#include "platform/platform.h"
#include "run/run.h"
#include "startup/command_line.h"

int main(int argc, char** argv) {
  using namespace mendrix;
  OsStartup(argc, argv);
  // An interrupt stops the run only where nothing of the user's is left
  // half changed.
  OsCatchInterrupts();
  TRunOptions options;
  DetectSelfPatch(options);
  ShowBanner();
  ParseCommandLine(ProgramArguments(), options);
  if (options.PatchName.empty()) ShowUsage(1);
  if (options.TestMode) OutWriteLn("Testmode enabled, test applying patch only.\r\n");
  RunPatch(options);
  OsExit(0);
}
