// libFuzzer target for the generator's round trip: the input bytes give a
// case (tests/generator/roundtrip_case.h: an old and a new file, or small
// old and new trees with renames, files only the new tree has and up to
// three old versions). The generator's library makes a patch of it, and the
// program's library applies that patch, through the whole run, to a copy of
// each old version. A finding, which abort()s, is:
//   - the generator failing on a case it can express;
//   - a run that fails on a patch made for its old version;
//   - a result that is not the new version byte for byte, or not dated
//     like it; a file the new tree doesn't have that changed; a backup
//     that is not the old file; any other file left in the tree;
//   - a work file left in the temp directory;
// and, as for every target, a crash or a sanitizer report.
//
// The versions, the patch and the copies are written to a scratch directory
// on a memory file system (see fuzz_support.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "delta/streams.h"
#include "fileio/fileio.h"
#include "fuzz_support.h"
#include "generator/roundtrip_case.h"
#include "platform/platform.h"
#include "run/run.h"

namespace fs = std::filesystem;
namespace roundtrip = mendrix::test::roundtrip;

namespace {

std::string Root;
fs::path Versions;
fs::path PatchPath;
fs::path Target;
std::string TempDir;
std::string WorkDir;
int HomeDirectory = -1;

// Applies the patch to the copy of old version k at Target; the run's exit
// code.
int Apply(bool tree, const roundtrip::TCase& c, std::size_t k) {
  if (!roundtrip::WriteVersion(c.Olds[k], tree, Target))
    mendrix::fuzz::Finding("can't write an old version");
  mendrix::TRunOptions options;
  options.PatchName = PatchPath.string();
  options.OldPath = Target.string();
  options.NewPath = options.OldPath;
  if (::chdir(WorkDir.c_str()) != 0) mendrix::fuzz::Finding("can't enter the scratch directory");
  int exitCode = 0;
  try {
    mendrix::RunPatch(options);
  } catch (const mendrix::fuzz::TExitRequest& request) {
    exitCode = request.Code;
  }
  if (::fchdir(HomeDirectory) != 0) mendrix::fuzz::Finding("can't return to the working directory");
  return exitCode;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  mendrix::fuzz::QuietStandardStreams();
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  Root = mendrix::fuzz::MakeScratchRoot("mendrix-roundtrip");
  Versions = fs::path(Root) / "versions";
  PatchPath = fs::path(Root) / "p.pat";
  Target = fs::path(Root) / "target";
  TempDir = Root + "/tmp";
  WorkDir = Root + "/cwd";
  fs::create_directories(Versions);
  fs::create_directories(TempDir);
  fs::create_directories(WorkDir);
  ::setenv("TMPDIR", TempDir.c_str(), 1);
  HomeDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (HomeDirectory < 0) mendrix::fuzz::Finding("can't open the working directory");
  (void)mendrix::OsSetExitHook({&mendrix::fuzz::ThrowOnExit, nullptr});
  std::fprintf(stderr, "mendrix-fuzz: scratch directory %s\n", Root.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const roundtrip::TCase c = roundtrip::DeriveCase({data, size});
  const int made = roundtrip::MakeCasePatch(c, Versions, PatchPath);
  if (made != 0) mendrix::fuzz::Finding("the generator ended with " + std::to_string(made));
  for (std::size_t k = 0; k < c.Olds.size(); ++k) {
    if (!roundtrip::Applies(c, k)) continue;
    const int exitCode = Apply(c.Tree, c, k);
    const std::string which = "old version " + std::to_string(k + 1) + ": ";
    if (exitCode != 0)
      mendrix::fuzz::Finding(which + "the run ended with " + std::to_string(exitCode));
    const std::string wrong = roundtrip::CheckResult(c, k, Target);
    if (!wrong.empty()) mendrix::fuzz::Finding(which + wrong);
    if (::rmdir(TempDir.c_str()) != 0)
      mendrix::fuzz::Finding(which + "work file left in the temp directory");
    ::mkdir(TempDir.c_str(), 0777);
  }
  return 0;
}
