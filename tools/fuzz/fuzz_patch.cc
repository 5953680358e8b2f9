// libFuzzer target: the input is a patch file. Each input is applied to a
// small fixed old file (single-file patches) or old tree (tree patches; the
// PatchKind in the header decides) in a scratch directory, through the whole
// run: open, quiet test, test pass and apply pass, with standard input at its
// end so that key waits return at once.
//
// A fatal stop is an expected outcome: the exit hook of the platform layer
// throws, the run unwinds back here, and the next input starts clean. A
// finding is a crash, a sanitizer report, a timeout, memory over the limit,
// or one of these, which abort() here:
//   - a work file (DWX...) left in the temp directory;
//   - an install copy (... .DWX<n>) left beside a target;
//   - anything written outside the scratch directory (checked three levels
//     up and in the working directory);
//   - a single-file target that is not wholly old after a failed run;
//   - a file descriptor left open after a run;
//   - a run whose heap grows by more than HeapLimit at any moment: memory
//     must stay bounded by a small constant, never sized by the patch.
//
// A patch may rightly describe a result of up to 2 GiB from a few bytes
// (copies from the output repeat it), and a chain may claim such sizes for
// its intermediate outputs. The target limits each file it writes to
// FileSizeLimit (writes past it fail with EFBIG, which the run reports as a
// failed write), so such inputs cost milliseconds and no memory-backed disk.
//
// Bit 0 of the header's Reserved byte (which the program does not read)
// makes NewPath differ from OldPath, so both layouts get fuzzed; bits 1 to 3
// add to the old tree what an earlier run may have left, when bits 4 to 7
// are 0101 (see Planted).
//
// Speed: the scratch directory is on a memory file system (fuzz_support.h:
// /dev/shm, or a tmpfs mounted for the purpose when running as root;
// MENDRIX_FUZZ_DIR overrides), the patch itself is read from the input's bytes through the
// platform layer (memory_patch.cc) instead of being written to a file, and
// the fixed layout is checked by one lstat per watched path after a run and
// restored only where that shows a change.
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "delta/streams.h"
#include "fileio/fileio.h"
#include "fuzz_support.h"
#include "memory_patch.h"
#include "patchfile/patch_format.h"
#include "platform/platform.h"
#include "run/run.h"
#include "support/robust_patches.h"

namespace fs = std::filesystem;

namespace {

constexpr std::int64_t HeapLimit = 4 << 20;  // bytes a run may add to the heap
constexpr rlim_t FileSizeLimit = 64 << 20;   // bytes in any one file written

using mendrix::fuzz::Finding;
using mendrix::fuzz::TExitRequest;

// Root/d1/d2/scratch; the levels between show writes that climb out.
std::string Root;
std::string Scratch;
std::string TempDir;
std::string WorkDir;
std::string OldFilePath;
std::string OldTreePath;
std::string NewFilePath;
std::string NewTreePath;
int HomeDirectory = -1;  // the fuzzer's own working directory
std::vector<std::uint8_t> OldFileBytes;
std::vector<mendrix::test::TNamedFile> OldTree;

std::string SystemName(const std::string& name) {
  std::string path = name;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

// Writes a whole file with plain system calls: no stream buffer to allocate
// and no directory to look up beyond the file's own path.
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) Finding("scratch file can't be written: " + path);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) Finding("scratch file can't be written: " + path);
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return bytes;
  std::uint8_t buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.insert(bytes.end(), buffer, buffer + n);
  ::close(fd);
  return bytes;
}

std::set<std::string> Listing(const std::string& directory) {
  std::set<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    names.insert(it->path().filename().string());
  }
  return names;
}

void RemoveAll(const std::string& path) {
  std::error_code error;
  fs::remove_all(path, error);
}

// A file or directory as the system describes it; any change to it (for a
// directory: an entry added or removed) changes its stamp. Cheaper than
// reading or listing it, which matters at thousands of runs a second.
struct TStamp {
  std::uint64_t Device = 0, Inode = 0;
  std::int64_t Size = -1, Modified = 0, Changed = 0;
  bool operator==(const TStamp&) const = default;
};

TStamp StampOf(const std::string& path) {
  struct stat info;
  TStamp stamp;
  if (::lstat(path.c_str(), &info) != 0) return stamp;
  stamp.Device = info.st_dev;
  stamp.Inode = info.st_ino;
  stamp.Size = info.st_size;
  stamp.Modified = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
  stamp.Changed = std::int64_t{info.st_ctim.tv_sec} * 1000000000 + info.st_ctim.tv_nsec;
  return stamp;
}

// Everything the fixed layout consists of: the levels above the scratch
// directory, the scratch directory itself, the working directory and the
// targets, each with the stamp it had when it was last put in place and the
// one it has after the last run (taken once, then used by every check and
// by the next reset).
struct TWatched {
  std::string Path;
  bool InOldTree = false;
  bool Directory = false;
  TStamp Placed;
  TStamp Now;
};
std::vector<TWatched> Watched;
enum TWatchedIndex {
  RootIndex,
  Level1Index,
  Level2Index,
  ScratchIndex,
  WorkIndex,
  OldFileIndex,
  OldTreeIndex
};

// What an earlier run or another program may have left in the old tree,
// chosen per input by bits 1 to 3 of the header's Reserved byte when its
// bits 4 to 7 are LayoutMarker (tree patches only), so that the install
// meets it:
constexpr int EarlierBackups = 1;  // Backup/a.dat, a second name of a.dat, and
                                   // Backup/c.txt, another file
constexpr int LeftoverCopies = 2;  // a.dat.DWX0, empty (the start of any result),
                                   // and sub/b.dat.DWX0, the start of none
constexpr int LinkedFile = 4;      // keep.bin a symbolic link to a.dat
constexpr int LayoutMarker = 5;    // the high half of Reserved that turns them on
int PlacedLayout = 0;

struct TPlanted {
  int Layout;
  const char* Name;  // below the old tree
  bool Directory;
};
constexpr TPlanted Planted[] = {
    {EarlierBackups, "Backup", true},          {EarlierBackups, "Backup/a.dat", false},
    {EarlierBackups, "Backup/c.txt", false},   {LeftoverCopies, "a.dat.DWX0", false},
    {LeftoverCopies, "sub/b.dat.DWX0", false},
};

void ListWatched(int layout) {
  Watched.clear();
  const auto add = [](const std::string& path, bool inOldTree, bool directory) {
    for (const TWatched& watched : Watched) {
      if (watched.Path == path) return;
    }
    Watched.push_back({path, inOldTree, directory, {}, {}});
  };
  add(Root, false, true);
  add(Root + "/d1", false, true);
  add(Root + "/d1/d2", false, true);
  add(Scratch, false, true);
  add(WorkDir, false, true);
  add(OldFilePath, false, false);
  add(OldTreePath, true, true);
  for (const auto& file : OldTree) {
    const std::string path = OldTreePath + "/" + SystemName(file.Name);
    add(fs::path(path).parent_path().string(), true, true);
    add(path, true, false);
  }
  for (const TPlanted& planted : Planted) {
    if ((layout & planted.Layout) != 0)
      add(OldTreePath + "/" + planted.Name, true, planted.Directory);
  }
}

// Writes the old tree afresh, with what layout adds to it.
void PlaceOldTree(int layout) {
  RemoveAll(OldTreePath);
  for (const auto& file : OldTree) {
    const std::string path = OldTreePath + "/" + SystemName(file.Name);
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    WriteFile(path, file.Bytes);
  }
  const std::string tree = OldTreePath + "/";
  if ((layout & EarlierBackups) != 0) {
    ::mkdir((tree + "Backup").c_str(), 0755);
    if (::link((tree + "a.dat").c_str(), (tree + "Backup/a.dat").c_str()) != 0) {
      Finding("can't link the earlier backup");
    }
    WriteFile(tree + "Backup/c.txt", {'e', 'a', 'r', 'l', 'i', 'e', 'r'});
  }
  if ((layout & LeftoverCopies) != 0) {
    WriteFile(tree + "a.dat.DWX0", {});
    WriteFile(tree + "sub/b.dat.DWX0", {'n', 'o', 't', ' ', 'a', ' ', 's', 't', 'a', 'r', 't'});
  }
  if ((layout & LinkedFile) != 0) {
    ::unlink((tree + "keep.bin").c_str());
    if (::symlink("a.dat", (tree + "keep.bin").c_str()) != 0) Finding("can't make the link");
  }
  PlacedLayout = layout;
}

bool LayoutIntact = false;

// Takes the stamps of the layout after a run.
void StampWatched() {
  LayoutIntact = true;
  for (TWatched& watched : Watched) {
    watched.Now = StampOf(watched.Path);
    LayoutIntact = LayoutIntact && watched.Now == watched.Placed;
  }
}

bool Unchanged(TWatchedIndex index) { return Watched[index].Now == Watched[index].Placed; }

// Reads every target back and lists the scratch directory: the layout must
// be exactly the fixed one. Only with MENDRIX_FUZZ_VERIFY_RESET set, to test
// that resetting by stamps misses nothing.
void VerifyLayout() {
  const std::set<std::string> fixed = {"tmp", "cwd", "old.bin", "oldtree"};
  for (const std::string& name : Listing(Scratch)) {
    if (fixed.count(name) == 0) Finding("reset left " + name + " beside the targets");
  }
  if (ReadFile(OldFilePath) != OldFileBytes) Finding("reset left another old file");
  std::size_t files = 0;
  std::error_code error;
  for (fs::recursive_directory_iterator it(OldTreePath, error), end; !error && it != end;
       it.increment(error)) {
    if (!it->is_directory()) ++files;
  }
  std::size_t planted = 0;
  for (const TPlanted& item : Planted)
    planted += (PlacedLayout & item.Layout) != 0 && !item.Directory;
  if (files != OldTree.size() + planted) Finding("reset left another number of files in the tree");
  for (const auto& file : OldTree) {
    const std::string path = OldTreePath + "/" + SystemName(file.Name);
    if ((PlacedLayout & LinkedFile) != 0 && file.Name == "keep.bin") {
      if (!fs::is_symlink(path)) Finding("reset left keep.bin no link");
    } else if (ReadFile(path) != file.Bytes) {
      Finding("reset left another " + file.Name);
    }
  }
}

// Puts the fixed targets back, in the layout asked for, and removes whatever
// a run left, unless the last run touched nothing (most damaged patches stop
// before any write) and the layout is the same.
void ResetScratch(int layout) {
  static const bool verify = std::getenv("MENDRIX_FUZZ_VERIFY_RESET") != nullptr;
  if (LayoutIntact && layout == PlacedLayout) {
    if (verify) VerifyLayout();
    return;
  }
  for (const std::string& name : Listing(Scratch)) {
    if (name != "tmp" && name != "cwd" && name != "old.bin" && name != "oldtree") {
      RemoveAll(Scratch + "/" + name);
    }
  }
  const bool oldFileChanged = !Unchanged(OldFileIndex);
  bool treeChanged = layout != PlacedLayout;
  for (const TWatched& watched : Watched)
    treeChanged = treeChanged || (watched.InOldTree && watched.Now != watched.Placed);
  if (treeChanged) {
    PlaceOldTree(layout);
    ListWatched(layout);
  }
  if (oldFileChanged) {
    RemoveAll(OldFilePath);  // a run may leave a directory there
    WriteFile(OldFilePath, OldFileBytes);
  }
  for (TWatched& watched : Watched) watched.Placed = StampOf(watched.Path);
  for (TWatched& watched : Watched) watched.Now = watched.Placed;
  LayoutIntact = true;
  if (verify) VerifyLayout();
}

bool HasInstallCopySuffix(const std::string& name) {
  const std::size_t at = name.rfind(".DWX");
  if (at == std::string::npos || at + 4 == name.size()) return false;
  for (std::size_t i = at + 4; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

void CheckNoInstallCopies(const std::string& tree, const std::uint8_t* data, std::size_t size) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(tree, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!HasInstallCopySuffix(name)) continue;
    if ((PlacedLayout & LeftoverCopies) != 0 && (name == "a.dat.DWX0" || name == "b.dat.DWX0")) {
      continue;  // put there before the run
    }
    // A name the patch itself gives is no leftover.
    // Bytes against chars: compared as unsigned, or names outside ASCII
    // would never be found.
    const auto sameByte = [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); };
    if (std::search(data, data + size, name.begin(), name.end(), sameByte) != data + size) {
      continue;
    }
    Finding("install copy left behind: " + it->path().string());
  }
}

void CheckAfterRun(int exitCode, bool tree, bool separateNew, const std::uint8_t* data,
                   std::size_t size) {
  // An empty directory is all that can be removed.
  if (::rmdir(TempDir.c_str()) != 0) {
    Finding("work file left in the temp directory: " + *Listing(TempDir).begin());
  }
  ::mkdir(TempDir.c_str(), 0777);
  StampWatched();
  if (LayoutIntact) return;
  if (!Unchanged(WorkIndex)) Finding("the working directory was written to");
  if (!Unchanged(RootIndex) || !Unchanged(Level1Index) || !Unchanged(Level2Index)) {
    Finding("file written outside the scratch directory");
  }
  bool newTree = false;
  if (!Unchanged(ScratchIndex)) {
    static const std::set<std::string> expected = {"tmp",     "cwd",     "old.bin",
                                                   "oldtree", "new.bin", "newtree"};
    for (const std::string& name : Listing(Scratch)) {
      if (expected.count(name) == 0) Finding("unexpected file beside the targets: " + name);
      newTree = newTree || name == "newtree";
    }
  }
  // An install copy left anywhere in a tree shows in the stamp of the tree
  // or of one of its fixed subdirectories (new directories are made in one
  // of them).
  bool treeTouched = false;
  for (const TWatched& watched : Watched) {
    treeTouched =
        treeTouched || (watched.InOldTree && watched.Directory && watched.Now != watched.Placed);
  }
  if (treeTouched) CheckNoInstallCopies(OldTreePath, data, size);
  if (newTree) CheckNoInstallCopies(NewTreePath, data, size);
  if (!tree) {
    // The one target is wholly old unless the run completed.
    if ((exitCode != 0 || separateNew) && !Unchanged(OldFileIndex) &&
        ReadFile(OldFilePath) != OldFileBytes) {
      Finding("single-file target changed by a failed run");
    }
    if (separateNew && exitCode != 0 && fs::exists(NewFilePath)) {
      Finding("single-file result left by a failed run");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Standard input at its end: every key wait returns at once. Standard
  // output (progress messages) is not wanted either.
  mendrix::fuzz::QuietStandardStreams();

  struct rlimit fileSize = {FileSizeLimit, FileSizeLimit};
  if (::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) Finding("can't limit the file size");

  Root = mendrix::fuzz::MakeScratchRoot("mendrix-fuzz");
  Scratch = Root + "/d1/d2/scratch";
  TempDir = Scratch + "/tmp";
  WorkDir = Scratch + "/cwd";
  OldFilePath = Scratch + "/old.bin";
  OldTreePath = Scratch + "/oldtree";
  NewFilePath = Scratch + "/new.bin";
  NewTreePath = Scratch + "/newtree";
  fs::create_directories(TempDir);
  fs::create_directories(WorkDir);
  ::setenv("TMPDIR", TempDir.c_str(), 1);
  ::setenv("TZ", "UTC", 1);
  HomeDirectory = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (HomeDirectory < 0) Finding("can't open the working directory");

  OldFileBytes = mendrix::test::FixedOldFile();
  OldTree = mendrix::test::FixedOldTree();
  ListWatched(0);
  // The first reset writes every target: nothing is in place yet.
  for (TWatched& watched : Watched) watched.Now.Size = -2;
  LayoutIntact = false;
  ResetScratch(0);

  (void)mendrix::OsSetExitHook({&mendrix::fuzz::ThrowOnExit, nullptr});
  mendrix::fuzz::InstallHeapCounter();
  std::fprintf(stderr, "mendrix-fuzz: scratch directory %s\n", Scratch.c_str());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The patch kind and the layout bit, read from where the run will find
  // the header; a patch without a usable trailer stops at once either way.
  bool tree = false;
  bool separateNew = false;
  int layout = 0;
  if (size >= static_cast<std::size_t>(mendrix::TrailerSize)) {
    const std::uint8_t* trailer = data + size - mendrix::TrailerSize;
    const std::uint32_t containerLength =
        std::uint32_t{trailer[0]} | std::uint32_t{trailer[1]} << 8 |
        std::uint32_t{trailer[2]} << 16 | std::uint32_t{trailer[3]} << 24;
    if (containerLength >= static_cast<std::uint32_t>(mendrix::HeaderSize) &&
        containerLength <= size) {
      const std::uint8_t* header = data + size - containerLength;
      tree = header[8] == mendrix::TreePatchKind;
      separateNew = (header[9] & 1) != 0;
      // Only with the high half 0101: most damaged patches keep the plain
      // layout, and changing it costs a reset.
      if (tree && header[9] >> 4 == LayoutMarker) layout = (header[9] >> 1) & 7;
    }
  }

  // A write past the file size limit must fail, not end the process (as
  // the program's start-up arranges too). libFuzzer sets its own handler
  // after LLVMFuzzerInitialize, so this is done at the first input.
  static const bool sizeSignalIgnored = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
  if (!sizeSignalIgnored) Finding("can't ignore SIGXFSZ");

  ResetScratch(layout);
  mendrix::fuzz::SetMemoryPatch(data, size);
  // The lowest free descriptor number: a descriptor left open by the run
  // takes it.
  const int lowestFree = ::dup(0);
  ::close(lowestFree);

  mendrix::TRunOptions options;
  options.PatchName = mendrix::fuzz::MemoryPatchPath;
  options.OldPath = tree ? OldTreePath : OldFilePath;
  options.NewPath = separateNew ? (tree ? NewTreePath : NewFilePath) : options.OldPath;

  // The run sees the scratch directory's cwd as its working directory; the
  // fuzzer's own relative paths (corpus, artifacts) stay where they were.
  if (::chdir(WorkDir.c_str()) != 0) Finding("can't enter the scratch directory");
  int exitCode = 0;
  mendrix::fuzz::StartHeapCount();
  try {
    mendrix::RunPatch(options);
  } catch (const TExitRequest& request) {
    exitCode = request.Code;
  }
  const std::int64_t heapPeak = mendrix::fuzz::StopHeapCount();
  if (heapPeak > HeapLimit)
    Finding("the run's heap grew by " + std::to_string(heapPeak) + " bytes");
  static const bool showHeap = std::getenv("MENDRIX_FUZZ_SHOW_HEAP") != nullptr;
  if (showHeap) {
    std::fprintf(stderr, "mendrix-fuzz: exit %d, heap growth %lld\n", exitCode,
                 static_cast<long long>(heapPeak));
  }
  if (::fchdir(HomeDirectory) != 0) Finding("can't return to the working directory");
  if (exitCode != 0 && exitCode != 1) Finding("exit code " + std::to_string(exitCode));

  // Nothing to reset: the run owned its state, and a stopped run removed
  // its files and closed every handle on its way out.
  CheckAfterRun(exitCode, tree, separateNew, data, size);
  if (mendrix::fuzz::OpenMemoryPatches() != 0) Finding("patch file left open by a run");
  if (::fcntl(lowestFree, F_GETFD) != -1) Finding("file descriptor left open by a run");
  return 0;
}
