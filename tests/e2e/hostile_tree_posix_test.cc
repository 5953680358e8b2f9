// Whole runs over trees and surroundings that work against the program:
// links where it must not follow, files of another owner, private and
// read-only directories, FIFOs, and standard streams that are closed or lead
// nowhere. A run either completes or stops before anything of the user's has
// changed, never writes outside the tree, and keeps its work files private.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;

constexpr unsigned NobodyId = 65534;  // nobody:nogroup
const std::uint32_t ResultStamp = DosStamp(2021, 3, 4, 5, 6, 8);
const TBytes OldA = Bytes("a.dat as shipped\n");
const TBytes NewA = Bytes("a.dat after the update, longer\n");
const std::string HeldNote =
    "The backup folder already holds \"tree\\Backup\\a.dat\" from an earlier update; "
    "move it away and run the patch again.";

const char* const Setpriv = "/usr/bin/setpriv";

#define SKIP_UNLESS_ROOT()                    \
  if (geteuid() != 0 || !fs::exists(Setpriv)) \
  GTEST_SKIP() << "runs only as root, with " << Setpriv << ": files owned by nobody, runs as nobody"

// What lstat says about everything below root (root itself included), by
// relative path: kind, mode, owner, and for a file its date, size and
// checksum, for a link where it points. Directory dates are left out.
std::map<std::string, std::string> TreeState(const std::string& root) {
  std::map<std::string, std::string> state;
  auto note = [&](const fs::path& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return;
    std::string text = std::to_string(info.st_mode & 07777) + " " + std::to_string(info.st_uid) +
                       ":" + std::to_string(info.st_gid);
    if (S_ISLNK(info.st_mode)) {
      text = "link to " + fs::read_symlink(path).string();
    } else if (S_ISDIR(info.st_mode)) {
      text = "dir " + text;
    } else if (S_ISREG(info.st_mode)) {
      const TBytes bytes = ReadFileBytes(path.string());
      text = "file " + text + " " + std::to_string(info.st_mtime) + " " +
             std::to_string(bytes.size()) + " " + std::to_string(ChecksumOf(bytes));
    }
    state[fs::relative(path, root).generic_string()] = text;
  };
  note(root);
  for (const auto& item : fs::recursive_directory_iterator(root)) note(item.path());
  return state;
}

// Work files (DWX<n>) and staged results (name.DWX<n>) below root.
std::vector<std::string> WorkFilesBelow(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.path().filename().string().find("DWX") != std::string::npos) {
      found.push_back(item.path().string());
    }
  }
  return found;
}

mode_t ModeOf(const std::string& path) {
  struct stat info = {};
  lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

void ChownBelow(const std::string& root) {
  ASSERT_EQ(lchown(root.c_str(), NobodyId, NobodyId), 0);
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    ASSERT_EQ(lchown(item.path().c_str(), NobodyId, NobodyId), 0) << item.path();
  }
}

// A run of the program in dir with its own temp directory, as TRunDir::Run.
TRunRequest Request(const TRunDir& dir, const std::vector<std::string>& arguments) {
  TRunRequest request;
  request.Arguments = arguments;
  request.WorkDir = dir.Path();
  request.Environment = {{"TMPDIR", dir.Temp()}};
  return request;
}

// arguments (a program's path first) run by nobody:nogroup with no other groups.
TRunRequest AsNobody(const TRunDir& dir, const std::vector<std::string>& arguments) {
  TRunRequest request = Request(dir, {"--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  request.Program = Setpriv;
  request.Arguments.insert(request.Arguments.end(), arguments.begin(), arguments.end());
  return request;
}

std::string Checking(const std::string& name) {
  return "Checking patchinfo for \"" + name + "\".\r\n";
}

class HostileTree : public testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(Dir.File("tree/a.dat"), OldA);
    Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.dat", {OldA, NewA}, ResultStamp)}));
  }
  // The run stopped with message (after note, if any) before anything
  // changed; before is the TreeState of the scratch root taken earlier.
  void ExpectStoppedUnchanged(const TRunResult& run, const std::string& message,
                              const std::map<std::string, std::string>& before,
                              const std::string& note = "") {
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test") + (note.empty() ? "" : note + "\r\n") +
                           FatalText(message));
    EXPECT_EQ(TreeState(Dir.Path()), before);
    EXPECT_TRUE(WorkFilesBelow(Dir.Path()).empty());
  }
  TRunDir Dir;
};

// Run as root over files of nobody: the results keep their owner, group and
// set-ID bits (given only once the owner is right).
TEST_F(HostileTree, ResultsKeepOwnerAndSetIdBits) {
  SKIP_UNLESS_ROOT();
  const TBytes oldB = Bytes("b.dat, old"), newB = Bytes("b.dat, new");
  WriteFileBytes(Dir.File("tree/b.dat"), oldB);
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.dat", {OldA, NewA}, ResultStamp),
                                     ChainEntry("b.dat", {oldB, newB}, ResultStamp)}));
  const std::pair<const char*, mode_t> files[] = {{"tree/a.dat", 04755}, {"tree/b.dat", 02640}};
  for (const auto& [name, mode] : files) {
    ASSERT_EQ(chown(Dir.File(name).c_str(), NobodyId, NobodyId), 0);
    ASSERT_EQ(chmod(Dir.File(name).c_str(), mode), 0);
  }
  TRunResult run = Dir.Run({"p.pat", "tree"});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.dat")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/b.dat")), newB);
  for (const auto& [name, mode] : files) {
    SCOPED_TRACE(name);
    struct stat info;
    ASSERT_EQ(stat(Dir.File(name).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, NobodyId);
    EXPECT_EQ(info.st_gid, NobodyId);
    EXPECT_EQ(info.st_mode & 07777, mode);
  }
}

// Something on the backup path that isn't a fresh slot or the target's own
// second name: the old file can't be kept, so nothing is replaced.
TEST_F(HostileTree, LinkOnTheBackupPathStopsBeforeAnyChange) {
  WriteFileText(Dir.File("outside/other.dat"), "somebody else's file");
  struct TCase {
    const char* Name;
    std::function<void()> Make;
    std::string Note;
  };
  const TCase cases[] = {
      {"Backup -> . (the tree itself)",
       [&] { fs::create_directory_symlink(".", Dir.File("tree/Backup")); }, ""},
      {"Backup/a.dat -> ../a.dat",
       [&] {
         fs::create_directories(Dir.File("tree/Backup"));
         fs::create_symlink("../a.dat", Dir.File("tree/Backup/a.dat"));
       },
       ""},
      {"Backup/a.dat a second name of another file",
       [&] {
         fs::create_directories(Dir.File("tree/Backup"));
         fs::create_hard_link(Dir.File("outside/other.dat"), Dir.File("tree/Backup/a.dat"));
       },
       HeldNote},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Dir.File("tree/Backup"));
    c.Make();
    const auto before = TreeState(Dir.Path());
    TRunResult run = Dir.Run({"p.pat", "tree"});
    EXPECT_EQ(run.Out, Checking("a.dat"));
    ExpectStoppedUnchanged(run, "Error, can't replace \"tree\\a.dat\"!", before, c.Note);
  }
}

// Hard links that nobody made in the backup folder of nobody's tree, for a
// run as root: the target's own second name is an interrupted run's backup
// and the rerun completes; a second name of another file of nobody's is not.
TEST_F(HostileTree, BackupLinkOfAnotherOwnerCountsOnlyForTheSameFile) {
  SKIP_UNLESS_ROOT();
  WriteFileText(Dir.File("tree/mine.dat"), "nobody's own file");
  fs::create_directories(Dir.File("tree/Backup"));
  ChownBelow(Dir.Path());
  for (const char* linked : {"tree/mine.dat", "tree/a.dat"}) {
    SCOPED_TRACE(linked);
    fs::remove(Dir.File("tree/Backup/a.dat"));
    TRunResult made = RunProgram(AsNobody(Dir, {"ln", linked, "tree/Backup/a.dat"}));
    ASSERT_EQ(made.ExitCode, 0) << made.Err;
    const auto before = TreeState(Dir.Path());
    TRunResult run = Dir.Run({"p.pat", "tree"});
    if (linked == std::string("tree/a.dat")) {
      EXPECT_EQ(run.ExitCode, 0) << run.Err;
      EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.dat")), NewA);
      EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.dat")), OldA);
    } else {
      ExpectStoppedUnchanged(run, "Error, can't replace \"tree\\a.dat\"!", before, HeldNote);
    }
  }
}

// A link to a directory outside, inside the tree: neither a file entry nor an
// embedded file below it is written through it, and nothing else changes.
TEST_F(HostileTree, DirectoryLinkInTheTreeIsNotFollowed) {
  const TBytes oldFile = Bytes("outside, version one\n");
  const TBytes newFile = Bytes("outside, version two\n");
  WriteFileBytes(Dir.File("outside/file"), oldFile);
  fs::create_directory_symlink("../outside", Dir.File("tree/sub"));
  struct TCase {
    TWriterEntry Entry;
    std::string Out;
    std::string Message;
  };
  const TCase cases[] = {
      {ChainEntry("sub\\file", {oldFile, newFile}, ResultStamp),
       Checking("a.dat") + Checking("sub\\file"), "Error, can't replace \"tree\\sub\\file\"!"},
      {EmbeddedEntry("sub\\new.txt", Bytes("embedded\n"), ResultStamp),
       Checking("a.dat") + "Skipping embedded file \"sub\\new.txt\".\r\n",
       "Error writing embedded file!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Entry.Name);
    Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.dat", {OldA, NewA}, ResultStamp), c.Entry}));
    const auto before = TreeState(Dir.Path());
    TRunResult run = Dir.Run({"p.pat", "tree"});
    EXPECT_EQ(run.Out, c.Out);
    ExpectStoppedUnchanged(run, c.Message, before);
    EXPECT_EQ(ListDirectory(Dir.File("outside")), std::vector<std::string>{"file"});
  }
}

// The paths the user gives are the user's own: they may be links.
TEST_F(HostileTree, LinkedPathArgumentsAreFollowed) {
  fs::create_directory_symlink("tree", Dir.File("via"));
  fs::create_directories(Dir.File("out"));
  fs::create_directory_symlink("out", Dir.File("to-out"));
  TRunResult run = Dir.Run({"p.pat", "tree", "to-out"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("out/a.dat")), NewA);
  run = Dir.Run({"p.pat", "via"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.dat")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.dat")), OldA);
  EXPECT_TRUE(fs::is_symlink(Dir.File("via")));
}

// Killed before each file-changing step up to the first rename: every work
// file and staged result left is private (0600) unless it is the complete
// result, which may already carry the target's mode.
TEST_F(HostileTree, WorkFilesStayPrivateUntilComplete) {
  const TBytes oldBig = RandomBytes(300000, 21);
  TBytes newBig = oldBig;
  for (std::size_t i = 1000; i < 200000; i += 997) newBig[i] ^= 0x33;
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("big.dat", {oldBig, newBig}, ResultStamp)}));
  const std::string log = Dir.File("ops.log");
  // A sanitizer build takes the preloaded library after its own runtime.
  const char* inherited = std::getenv("ASAN_OPTIONS");
  const std::string asan =
      (inherited != nullptr ? std::string(inherited) + ":" : "") + "verify_asan_link_order=0";
  auto runKilledAt = [&](long at) {
    fs::remove_all(Dir.File("tree"));
    for (const std::string& name : Dir.LeftInTemp()) fs::remove(Dir.File("tmp/" + name));
    WriteFileBytes(Dir.File("tree/big.dat"), oldBig);
    chmod(Dir.File("tree/big.dat").c_str(), 0644);
    fs::remove(log);
    TRunRequest request = Request(Dir, {"p.pat", "tree"});
    request.Environment.insert(request.Environment.end(), {{"LD_PRELOAD", MENDRIX_FAULT_SHIM},
                                                           {"ASAN_OPTIONS", asan},
                                                           {"MENDRIX_FAULT_LOG", log},
                                                           {"MENDRIX_FAULT_AT", std::to_string(at)},
                                                           {"MENDRIX_FAULT_ACTION", "kill"}});
    return RunProgram(request);
  };
  TRunResult whole = runKilledAt(0);
  ASSERT_EQ(whole.ExitCode, 0) << whole.Err;
  // The steps are numbered from 1, one line each: "<n> <operation> <path>".
  long firstRename = 0;
  std::istringstream steps(ReadFileText(log));
  for (std::string line; std::getline(steps, line) && firstRename == 0;) {
    if (line.find(" rename ") != std::string::npos || line.find(" link ") != std::string::npos) {
      firstRename = std::stol(line);
    }
  }
  ASSERT_GT(firstRename, 5) << ReadFileText(log);
  int seenInTemp = 0, seenBeside = 0;  // kills that left files to look at
  for (long at = 1; at <= firstRename; ++at) {
    SCOPED_TRACE("killed before step " + std::to_string(at));
    TRunResult run = runKilledAt(at);
    ASSERT_EQ(run.Signal, SIGKILL) << run.Err;
    seenInTemp += !Dir.LeftInTemp().empty();
    seenBeside += !WorkFilesBelow(Dir.File("tree")).empty();
    for (const std::string& path : WorkFilesBelow(Dir.Path())) {
      if (ModeOf(path) == 0600) continue;
      EXPECT_EQ(ReadFileBytes(path), newBig) << path << " has mode " << std::oct << ModeOf(path);
    }
  }
  EXPECT_GT(seenInTemp, 0);
  EXPECT_GT(seenBeside, 0);
}

// The backup folder takes the mode of the tree's root, and each folder in it
// the mode of the folder it mirrors: a private folder's old files stay private.
TEST_F(HostileTree, BackupFoldersTakeTheModesTheyMirror) {
  WriteFileBytes(Dir.File("tree/private/p.dat"), OldA);
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("private\\p.dat", {OldA, NewA}, ResultStamp)}));
  ASSERT_EQ(chmod(Dir.File("tree").c_str(), 0751), 0);
  ASSERT_EQ(chmod(Dir.File("tree/private").c_str(), 0700), 0);
  TRunResult run = Dir.Run({"p.pat", "tree"});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/private/p.dat")), OldA);
  EXPECT_EQ(ModeOf(Dir.File("tree/Backup")), 0751u);
  EXPECT_EQ(ModeOf(Dir.File("tree/Backup/private")), 0700u);
}

// Standard streams closed at the start, or pipes whose reader went away
// (| head): the run completes all the same, and no signal ends it halfway.
// A long notice brings the entry table to the end of the first 64 KiB of the
// patch, which is read on after the key wait: a key wait that took a byte of
// the patch (opened where standard input should be) would spoil it.
TEST_F(HostileTree, OddStandardStreamsStillApply) {
  const std::string notice(65536 - 83 - 10, 'n');  // header 76, "Backup" 7
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.dat", {OldA, NewA}, ResultStamp)}, notice));
  struct TCase {
    const char* Name;
    TStream In, Out, Err;
  };
  const TCase cases[] = {
      {"stdout read by nobody", TStream::Pipe, TStream::ReaderGone, TStream::Pipe},
      {"stderr read by nobody", TStream::Pipe, TStream::Pipe, TStream::ReaderGone},
      {"both read by nobody", TStream::Pipe, TStream::ReaderGone, TStream::ReaderGone},
      {"stdin closed", TStream::Closed, TStream::Pipe, TStream::Pipe},
      {"stdout closed", TStream::Pipe, TStream::Closed, TStream::Pipe},
      {"stderr closed", TStream::Pipe, TStream::Pipe, TStream::Closed},
      {"all three closed", TStream::Closed, TStream::Closed, TStream::Closed},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Dir.File("tree"));
    WriteFileBytes(Dir.File("tree/a.dat"), OldA);
    TRunRequest request = Request(Dir, {"p.pat", "tree"});
    request.InputStream = c.In;
    request.OutputStream = c.Out;
    request.ErrorStream = c.Err;
    TRunResult run = RunProgram(request);
    EXPECT_EQ(run.Signal, 0);
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    if (c.Out == TStream::Pipe) {
      EXPECT_EQ(run.Out,
                Checking("a.dat") +
                    "Test Ok. Now applying patch.\r\nPatching file \"a.dat\".\r\nDone.\r\n");
    }
    if (c.Err == TStream::Pipe) {
      const std::size_t tail = run.Err.size() > 300 ? run.Err.size() - 300 : 0;
      EXPECT_TRUE(run.Err == Banner() + NoticeAndPrompt(notice))
          << "standard error ends in: " << run.Err.substr(tail);
    }
    EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.dat")), NewA);
    EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.dat")), OldA);
    EXPECT_TRUE(WorkFilesBelow(Dir.Path()).empty());
  }
}

// The search for a single file's target looks at regular files only: a FIFO
// in the current directory is never opened. A writer blocked in opening it
// would be let through by any reader, so it must still wait after the run.
TEST(HostileSearch, AutoSearchNeverOpensAFifo) {
  TRunDir dir;
  const TBytes oldBytes = RandomBytes(900, 5);
  TBytes newBytes = oldBytes;
  newBytes[450] ^= 0x0F;
  WriteFileBytes(dir.File("work/app.bin"), oldBytes);
  dir.WritePatch("p.pat", SingleFilePatch(ChainEntry("", {oldBytes, newBytes}, ResultStamp)));
  const std::string fifo = dir.File("work/fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const pid_t writer = fork();
  if (writer == 0) _exit(open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
  ASSERT_GT(writer, 0);
  // Started only once the writer sleeps in its open.
  const std::string writerState = "/proc/" + std::to_string(writer) + "/stat";
  for (int i = 0; i < 500 && ReadFileText(writerState).find(") S ") == std::string::npos; ++i) {
    usleep(10000);
  }

  TRunResult run = dir.Run({"-auto", dir.File("p.pat")}, "ky", dir.File("work"));
  int status = 0;
  const pid_t ended = waitpid(writer, &status, WNOHANG);
  EXPECT_EQ(ended, 0) << "the FIFO was opened by the run";
  if (ended == 0) {
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    waitpid(writer, &status, 0);
    close(reader);
  }
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out.find("fifo"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Patching file \".\\app.bin\"."), std::string::npos) << run.Out;
  EXPECT_EQ(ReadFileBytes(dir.File("work/app.bin")), newBytes);
}

// A second update names the same backup folder, which still holds the first
// update's old file: the test pass finds that before the second update's
// first entry changes anything, and says what to do.
TEST_F(HostileTree, SecondUpdateIntoAHeldBackupStopsUnchanged) {
  const TBytes v3 = Bytes("a.dat, third release\n");
  const TBytes oldB = Bytes("b.dat untouched by the first update\n");
  WriteFileBytes(Dir.File("tree/b.dat"), oldB);
  TRunResult first = Dir.Run({"p.pat", "tree"});
  ASSERT_EQ(first.ExitCode, 0) << first.Err;
  Dir.WritePatch("p2.pat",
                 TreePatch({ChainEntry("b.dat", {oldB, Bytes("b.dat, second")}, ResultStamp),
                            ChainEntry("a.dat", {NewA, v3}, ResultStamp)}));
  const auto before = TreeState(Dir.Path());
  TRunResult run = Dir.Run({"p2.pat", "tree"});
  EXPECT_EQ(run.Out, Checking("b.dat") + Checking("a.dat"));
  ExpectStoppedUnchanged(run, "Error, can't replace \"tree\\a.dat\"!", before, HeldNote);
}

// Run as nobody over nobody's tree with a read-only folder that holds an
// entry: its result could never be put in place, so the test pass stops
// before the entry ahead of it changes.
TEST_F(HostileTree, ReadOnlyFolderStopsBeforeAnyChange) {
  SKIP_UNLESS_ROOT();
  const TBytes oldC = Bytes("c.dat in a read-only folder\n");
  WriteFileBytes(Dir.File("tree/ro/c.dat"), oldC);
  Dir.WritePatch("p.pat",
                 TreePatch({ChainEntry("a.dat", {OldA, NewA}, ResultStamp),
                            ChainEntry("ro\\c.dat", {oldC, Bytes("c.dat, new")}, ResultStamp)}));
  ChownBelow(Dir.Path());
  ASSERT_EQ(chmod(Dir.File("tree/ro").c_str(), 0555), 0);
  const auto before = TreeState(Dir.Path());
  TRunResult run = RunProgram(AsNobody(Dir, {MendrixPath(), "p.pat", "tree"}));
  EXPECT_EQ(run.Out, Checking("a.dat") + Checking("ro\\c.dat"));
  ExpectStoppedUnchanged(run, "Error, can't copy temporary generated file!", before);
}

// Whoever may write to the folder can rename a file of their own onto a
// staged result's name while it is written. That file must never get the
// date, owner and set-UID mode meant for the result, nor be put in place:
// the target ends as its old or its new bytes, nothing else.
TEST_F(HostileTree, StagedFileSwappedInTheTreeIsNeverInstalled) {
  SKIP_UNLESS_ROOT();
  const TBytes oldBig = RandomBytes(4000000, 3);
  TBytes newBig = oldBig;
  for (std::size_t i = 0; i < newBig.size(); i += 65536) newBig[i] ^= 0x01;
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("big.dat", {oldBig, newBig}, ResultStamp)}));
  WriteFileBytes(Dir.File("tree/big.dat"), oldBig);
  WriteFileText(Dir.File("tree/own"), "#!/bin/sh\necho nobody's code\n");
  for (const std::string& path : {Dir.Path(), Dir.File("tree"), Dir.File("tree/own")}) {
    ASSERT_EQ(chown(path.c_str(), NobodyId, NobodyId), 0);
  }
  ASSERT_EQ(chmod(Dir.File("tree/big.dat").c_str(), 04755), 0);
  const std::string own = Dir.File("tree/own"), staged = Dir.File("tree/big.dat.DWX0");
  const pid_t swapper = fork();
  if (swapper == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(NobodyId, NobodyId, NobodyId) != 0 ||
        setresuid(NobodyId, NobodyId, NobodyId) != 0) {
      _exit(2);
    }
    while (access(staged.c_str(), F_OK) != 0) {
    }
    _exit(rename(own.c_str(), staged.c_str()) == 0 ? 0 : 1);
  }
  ASSERT_GT(swapper, 0);
  TRunResult run = Dir.Run({"p.pat", "tree"});
  kill(swapper, SIGKILL);
  waitpid(swapper, nullptr, 0);
  const TBytes now = ReadFileBytes(Dir.File("tree/big.dat"));
  struct stat info = {};
  stat(Dir.File("tree/big.dat").c_str(), &info);
  EXPECT_TRUE(now == oldBig || now == newBig)
      << "exit " << run.ExitCode << "; tree/big.dat now holds " << now.size() << " bytes, owner "
      << info.st_uid << ", mode " << std::oct << (info.st_mode & 07777);
}

}  // namespace
}  // namespace mendrix::test
