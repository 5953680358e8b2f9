// Runs where the install can't go as planned: the user's files must stay
// whole (old or new, never lost or half-written), a failure must say so with
// exit code 1, and no work file or install copy may be left behind.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;

const std::uint32_t ResultStamp = DosStamp(2012, 1, 2, 3, 4, 6);

// Names below root that an install copy would have (name.DWX<n>).
std::vector<std::string> CopiesBelow(const std::string& root) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.path().filename().string().find(".DWX") != std::string::npos) {
      found.push_back(item.path().generic_string());
    }
  }
  return found;
}

class InstallSafety : public testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(Dir.File("tree/a.txt"), OldA);
    Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.txt", {OldA, NewA}, ResultStamp)}));
  }
  TRunDir Dir;
  const TBytes OldA = Bytes("the old a\n");
  const TBytes NewA = Bytes("the new a, patched\n");
};

// The backup name is taken by something that isn't the old file: the old
// file can't be moved out of the way, so the run stops and keeps it.
TEST_F(InstallSafety, BlockedBackupStopsAndKeepsOldFile) {
  struct TCase {
    const char* Name;
    void (*Block)(const TRunDir& dir);
  };
  const std::string held =
      "The backup folder already holds \"tree\\Backup\\a.txt\" from an earlier update; "
      "move it away and run the patch again.\r\n";
  const TCase cases[] = {
      {"a backup of the same name left by an earlier run",
       [](const TRunDir& dir) { WriteFileText(dir.File("tree/Backup/a.txt"), "older backup"); }},
      {"a directory where the backup goes",
       [](const TRunDir& dir) { fs::create_directories(dir.File("tree/Backup/a.txt/x")); }},
      {"a regular file where the backup directory goes",
       [](const TRunDir& dir) { WriteFileText(dir.File("tree/Backup"), "in the way"); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove_all(Dir.File("tree/Backup"));
    c.Block(Dir);
    TRunResult run = Dir.Run({"p.pat", "tree"});
    EXPECT_EQ(run.ExitCode, 1);
    // Found by the test, before anything changes.
    EXPECT_EQ(run.Out, "Checking patchinfo for \"a.txt\".\r\n");
    EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test") + (&c == &cases[0] ? held : "") +
                           FatalText("Error, can't replace \"tree\\a.txt\"!"));
    EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), OldA);
    EXPECT_TRUE(CopiesBelow(Dir.Path()).empty());
    EXPECT_TRUE(Dir.LeftInTemp().empty());
  }
}

// A backup name that leads back to the target's own directory (empty, or
// ".") can hold no backup: the old file must not be replaced without one.
TEST_F(InstallSafety, BackupNameThatIsTheTargetItselfStops) {
  for (const char* backupName : {"", "."}) {
    SCOPED_TRACE(backupName);
    TWriterPatch patch = TreePatch({ChainEntry("a.txt", {OldA, NewA}, ResultStamp)});
    patch.BackupName = backupName;
    Dir.WritePatch("p.pat", patch);
    TRunResult run = Dir.Run({"p.pat", "tree"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test") +
                           FatalText("Error, can't replace \"tree\\a.txt\"!"));
    EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), OldA);
    EXPECT_TRUE(CopiesBelow(Dir.Path()).empty());
    EXPECT_TRUE(Dir.LeftInTemp().empty());
  }
}

// A run killed after the old file got its backup name (a hard link) but
// before the new file was renamed into place: a second run finishes the job.
TEST_F(InstallSafety, RerunAfterInterruptedBackupCompletes) {
  fs::create_directories(Dir.File("tree/Backup"));
  fs::create_hard_link(Dir.File("tree/a.txt"), Dir.File("tree/Backup/a.txt"));
  // ...and an install copy that the killed run left beside the target.
  WriteFileText(Dir.File("tree/a.txt.DWX0"), "half a cop");
  TRunResult run = Dir.Run({"p.pat", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.txt")), OldA);
  EXPECT_EQ(CopiesBelow(Dir.Path()),
            std::vector<std::string>{fs::path(Dir.File("tree/a.txt.DWX0")).generic_string()});
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

// The result can't be created at its place: the new path runs through a
// regular file, or a directory stands where the file goes. The message of a
// failed copy, and nothing left behind.
TEST_F(InstallSafety, ResultThatCantBeCreatedStops) {
  WriteFileText(Dir.File("blocker"), "a file, not a directory");
  fs::create_directories(Dir.File("out/a.txt/inside"));
  for (const char* newPath : {"blocker/out", "out"}) {
    SCOPED_TRACE(newPath);
    TRunResult run = Dir.Run({"p.pat", "tree", newPath});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test") +
                           FatalText("Error, can't copy temporary generated file!"));
    EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), OldA);
    EXPECT_EQ(ReadFileText(Dir.File("blocker")), "a file, not a directory");
    EXPECT_EQ(ListDirectory(Dir.File("out")), std::vector<std::string>{"a.txt"});
    EXPECT_TRUE(CopiesBelow(Dir.Path()).empty());
    EXPECT_TRUE(Dir.LeftInTemp().empty());
  }
}

// The second entry's source is the first entry's old file, which the first
// entry replaces: both results are made from the old files before either is
// put in place.
TEST_F(InstallSafety, EntryMadeFromAnotherEntrysOldFile) {
  const TBytes newB = Bytes("b made from the old a\n");
  Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.txt", {OldA, NewA}, ResultStamp),
                                     ChainEntry("b.txt", {OldA, newB}, ResultStamp, "a.txt")}));
  TRunResult run = Dir.Run({"p.pat", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out,
            "Checking patchinfo for \"a.txt\".\r\n"
            "Checking patchinfo for \"b.txt\".\r\n"
            "Test Ok. Now applying patch.\r\n"
            "Patching file \"a.txt\".\r\n"
            "Patching file \"b.txt\".\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/b.txt")), newB);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.txt")), OldA);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

// Embedded files: a blocked place is a failure that leaves nothing
// half-written; an existing file is replaced whole.
TEST(EmbeddedRun, BlockedPlaceStopsAndExistingFileIsReplaced) {
  TRunDir dir;
  const TBytes content = Bytes("carried whole in the patch\n");
  dir.WritePatch(
      "p.pat",
      TreePatch({EmbeddedEntry("docs\\read.me", content, DosStamp(2020, 2, 29, 12, 0, 0))}));

  WriteFileText(dir.File("tree/docs"), "a file where the directory goes");
  TRunResult blocked = dir.Run({"p.pat", "tree"});
  EXPECT_EQ(blocked.ExitCode, 1);
  EXPECT_EQ(blocked.Out, "Skipping embedded file \"docs\\read.me\".\r\n");
  EXPECT_EQ(blocked.Err,
            Banner() + NoticeAndPrompt("Test") + FatalText("Error writing embedded file!"));
  EXPECT_EQ(ListDirectory(dir.File("tree")), std::vector<std::string>{"docs"});

  fs::remove(dir.File("tree/docs"));
  WriteFileText(dir.File("tree/docs/read.me"), "an older, longer text that goes away");
  TRunResult run = dir.Run({"p.pat", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(dir.File("tree/docs/read.me")), content);
  EXPECT_EQ(FileWriteTime(dir.File("tree/docs/read.me")), UtcSeconds(2020, 2, 29, 12, 0, 0));
  EXPECT_EQ(ListDirectory(dir.File("tree/docs")), std::vector<std::string>{"read.me"});
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

}  // namespace
}  // namespace mendrix::test
