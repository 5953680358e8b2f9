// Whole runs of tree patches: the backup layout, chains of versions, renamed
// files, another new path, embedded files and second runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;

const std::uint32_t ResultStamp = DosStamp(2010, 7, 8, 9, 10, 12);
const std::int64_t ResultSeconds = UtcSeconds(2010, 7, 8, 9, 10, 12);
const std::uint32_t EmbeddedStamp = DosStamp(1999, 12, 31, 23, 59, 58);
const std::int64_t EmbeddedSeconds = UtcSeconds(1999, 12, 31, 23, 59, 58);

// Every file below root, relative, with slashes; sorted.
std::vector<std::string> FilesBelow(const std::string& root) {
  std::vector<std::string> files;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.is_regular_file()) files.push_back(fs::relative(item.path(), root).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Three files, two of them in subdirectories, each with an old and a new
// version, and one embedded file.
class TreeRun : public testing::Test {
 protected:
  void SetUp() override {
    OldA = Bytes("alpha version one\n");
    NewA = Bytes("alpha version two, longer\n");
    OldB = RandomBytes(3000, 3);
    NewB = OldB;
    NewB[1500] ^= 0xFF;
    OldC = Bytes("deep file\n");
    NewC = Bytes("deep file, patched\n");
    Embedded = Bytes("embedded content\n");
    WriteFileBytes(Dir.File("tree/a.txt"), OldA);
    WriteFileBytes(Dir.File("tree/sub/b.dat"), OldB);
    WriteFileBytes(Dir.File("tree/sub/deeper/c.txt"), OldC);
    Dir.WritePatch("p.pat", TreePatch({ChainEntry("a.txt", {OldA, NewA}, ResultStamp),
                                       ChainEntry("sub\\b.dat", {OldB, NewB}, ResultStamp),
                                       ChainEntry("sub\\deeper\\c.txt", {OldC, NewC}, ResultStamp),
                                       EmbeddedEntry("docs\\new.txt", Embedded, EmbeddedStamp)}));
  }

  std::string Lines(const char* verb, const char* embeddedVerb) const {
    std::string out;
    for (const char* name : {"a.txt", "sub\\b.dat", "sub\\deeper\\c.txt"}) {
      out += std::string(verb) + " \"" + name + "\".\r\n";
    }
    return out + embeddedVerb + " embedded file \"docs\\new.txt\".\r\n";
  }
  std::string FullRunOut() const {
    return Lines("Checking patchinfo for", "Skipping") + "Test Ok. Now applying patch.\r\n" +
           Lines("Patching file", "Writing") + "Done.\r\n";
  }

  TRunDir Dir;
  TBytes OldA, NewA, OldB, NewB, OldC, NewC, Embedded;
};

TEST_F(TreeRun, BacksUpOldFilesAndInstallsResults) {
  TRunResult run = Dir.Run({"p.pat", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test"));
  EXPECT_EQ(run.Out, FullRunOut());
  EXPECT_EQ(FilesBelow(Dir.File("tree")),
            (std::vector<std::string>{"Backup/a.txt", "Backup/sub/b.dat", "Backup/sub/deeper/c.txt",
                                      "a.txt", "docs/new.txt", "sub/b.dat", "sub/deeper/c.txt"}));
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/sub/b.dat")), NewB);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/sub/deeper/c.txt")), NewC);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.txt")), OldA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/sub/b.dat")), OldB);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/sub/deeper/c.txt")), OldC);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/docs/new.txt")), Embedded);
  for (const char* name : {"a.txt", "sub/b.dat", "sub/deeper/c.txt"}) {
    EXPECT_EQ(FileWriteTime(Dir.File("tree/") + name), ResultSeconds) << name;
  }
  EXPECT_EQ(FileWriteTime(Dir.File("tree/docs/new.txt")), EmbeddedSeconds);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

TEST_F(TreeRun, SecondRunFindsEverythingPatched) {
  ASSERT_EQ(Dir.Run({"p.pat", "tree"}).ExitCode, 0);
  WriteFileBytes(Dir.File("tree/docs/new.txt"), Bytes("changed by the user"));
  TRunResult run = Dir.Run({"p.pat", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out, FullRunOut());
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/a.txt")), OldA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/Backup/sub/deeper/c.txt")), OldC);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/docs/new.txt")), Embedded);  // written again
  EXPECT_EQ(FilesBelow(Dir.File("tree")).size(), 7u);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

TEST_F(TreeRun, TestModeChangesNothing) {
  TRunResult run = Dir.Run({"p.pat", "-t", "tree"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out, "Testmode enabled, test applying patch only.\r\n\r\n" +
                         Lines("Checking patchinfo for", "Skipping") +
                         "Ok. Patch applicable to \"tree\".\r\n\r\nDone.\r\n");
  EXPECT_EQ(FilesBelow(Dir.File("tree")),
            (std::vector<std::string>{"a.txt", "sub/b.dat", "sub/deeper/c.txt"}));
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), OldA);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

TEST_F(TreeRun, NewPathLeavesOldTreeUntouched) {
  const std::int64_t oldTime = FileWriteTime(Dir.File("tree/a.txt"));
  // A file already at the new place is backed up there; the others are new.
  WriteFileBytes(Dir.File("out/a.txt"), Bytes("user's own"));
  TRunResult run = Dir.Run({"p.pat", "tree", "out"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out, FullRunOut());
  EXPECT_EQ(FilesBelow(Dir.File("tree")),
            (std::vector<std::string>{"a.txt", "sub/b.dat", "sub/deeper/c.txt"}));
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), OldA);
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/sub/b.dat")), OldB);
  EXPECT_EQ(FileWriteTime(Dir.File("tree/a.txt")), oldTime);
  EXPECT_EQ(FilesBelow(Dir.File("out")),
            (std::vector<std::string>{"Backup/a.txt", "a.txt", "docs/new.txt", "sub/b.dat",
                                      "sub/deeper/c.txt"}));
  EXPECT_EQ(ReadFileBytes(Dir.File("out/Backup/a.txt")), Bytes("user's own"));
  EXPECT_EQ(ReadFileBytes(Dir.File("out/sub/b.dat")), NewB);
  EXPECT_EQ(FileWriteTime(Dir.File("out/sub/b.dat")), ResultSeconds);
}

// An entry whose old file is already the result is copied to another new
// path with its date, and left alone in place.
TEST_F(TreeRun, AlreadyPatchedFileCopiedToNewPath) {
  WriteFileBytes(Dir.File("tree/a.txt"), NewA);
  TRunResult run = Dir.Run({"p.pat", "tree", "out"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("tree/a.txt")), NewA);
  EXPECT_EQ(ReadFileBytes(Dir.File("out/a.txt")), NewA);
  EXPECT_EQ(FileWriteTime(Dir.File("out/a.txt")), ResultSeconds);
  EXPECT_FALSE(FileExists(Dir.File("out/Backup/a.txt")));
}

// Versions 1.0 -> 1.1 -> 1.2 -> 2.0; the file is at 1.1, so the chain starts
// with the second variant and runs through the last.
TEST(TreeChain, EnteredAtMiddleVersion) {
  TRunDir dir;
  const std::vector<TBytes> versions = {
      Bytes("version 1.0 of the file\n"), Bytes("version 1.1 of the file, a fix\n"),
      Bytes("version 1.2 of the file, two fixes\n"), Bytes("version 2.0, rewritten\n")};
  WriteFileBytes(dir.File("app/data.txt"), versions[1]);
  dir.WritePatch("p.pat", TreePatch({ChainEntry("data.txt", versions, ResultStamp)}));
  TRunResult run = dir.Run({"p.pat", "app"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(ReadFileBytes(dir.File("app/data.txt")), versions[3]);
  EXPECT_EQ(ReadFileBytes(dir.File("app/Backup/data.txt")), versions[1]);
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

// A file renamed in the new version: the variant names the old file, which
// is read but neither moved nor deleted.
TEST(TreeChain, VariantWithItsOwnName) {
  TRunDir dir;
  const TBytes oldText = Bytes("notes of release one\n");
  const TBytes newText = Bytes("changes of release two\nnotes of release one\n");
  WriteFileBytes(dir.File("app/notes.txt"), oldText);
  dir.WritePatch(
      "p.pat",
      TreePatch({ChainEntry("changes.txt", {oldText, newText}, ResultStamp, "notes.txt")}));
  TRunResult run = dir.Run({"p.pat", "app"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out,
            "Checking patchinfo for \"changes.txt\".\r\n"
            "Test Ok. Now applying patch.\r\n"
            "Patching file \"changes.txt\".\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(dir.File("app/changes.txt")), newText);
  EXPECT_EQ(ReadFileBytes(dir.File("app/notes.txt")), oldText);
  EXPECT_EQ(ListDirectory(dir.File("app")), (std::vector<std::string>{"changes.txt", "notes.txt"}));
}

TEST(TreeChain, NotApplicableNamesThePath) {
  TRunDir dir;
  WriteFileBytes(dir.File("app/a.txt"), Bytes("something else"));
  dir.WritePatch("p.pat",
                 TreePatch({ChainEntry("a.txt", {Bytes("one"), Bytes("two")}, ResultStamp)}));
  TRunResult run = dir.Run({"p.pat", "app"});
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Out, "Checking patchinfo for \"a.txt\".\r\n");
  EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt("Test") +
                         FatalText("Error, patch seems not applicable to app"));
  EXPECT_EQ(ReadFileBytes(dir.File("app/a.txt")), Bytes("something else"));
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

}  // namespace
}  // namespace mendrix::test
