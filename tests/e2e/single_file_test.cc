// Whole runs of single-file patches: messages byte for byte, the file that is
// left, its date, and a clean temp directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"

namespace mendrix::test {
namespace {

const std::uint32_t ResultStamp = DosStamp(2001, 2, 3, 4, 5, 6);
const std::int64_t ResultSeconds = UtcSeconds(2001, 2, 3, 4, 5, 6);

class SingleFileRun : public testing::Test {
 protected:
  void SetUp() override {
    Old = RandomBytes(5000, 1);
    New = Old;
    for (std::size_t i = 2000; i < 2100; ++i) New[i] = static_cast<std::uint8_t>(i);
    New.insert(New.end(), {'e', 'n', 'd'});
    WriteFileBytes(Dir.File("app.bin"), Old);
    Dir.WritePatch("fix.pat", SingleFilePatch(ChainEntry("", {Old, New}, ResultStamp), Notice));
  }

  TRunDir Dir;
  TBytes Old, New;
  const std::string Notice = "Fix for app.bin";
};

TEST_F(SingleFileRun, ReplacesFileWithDatedResult) {
  TRunResult run = Dir.Run({"fix.pat", "app.bin"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt(Notice));
  EXPECT_EQ(run.Out,
            "Checking patchinfo for \"app.bin\".\r\n"
            "Test Ok. Now applying patch.\r\n"
            "Patching file \"app.bin\".\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), New);
  EXPECT_EQ(FileWriteTime(Dir.File("app.bin")), ResultSeconds);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
  EXPECT_EQ(ListDirectory(Dir.Path()), (std::vector<std::string>{"app.bin", "fix.pat", "tmp"}));
}

TEST_F(SingleFileRun, TestModeChangesNothing) {
  const std::int64_t before = FileWriteTime(Dir.File("app.bin"));
  TRunResult run = Dir.Run({"-t", "fix.pat", "app.bin"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out,
            "Testmode enabled, test applying patch only.\r\n\r\n"
            "Checking patchinfo for \"app.bin\".\r\n"
            "Ok. Patch applicable to \"app.bin\".\r\n\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), Old);
  EXPECT_EQ(FileWriteTime(Dir.File("app.bin")), before);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

TEST_F(SingleFileRun, NewPathLeavesOldFileAlone) {
  TRunResult run = Dir.Run({"fix.pat", "app.bin", "out/app2.bin"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out,
            "Checking patchinfo for \"app.bin\".\r\n"
            "Test Ok. Now applying patch.\r\n"
            "Patching file \"app.bin\".\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), Old);
  EXPECT_EQ(ReadFileBytes(Dir.File("out/app2.bin")), New);
  EXPECT_EQ(FileWriteTime(Dir.File("out/app2.bin")), ResultSeconds);
  EXPECT_EQ(ListDirectory(Dir.File("out")), std::vector<std::string>{"app2.bin"});
}

// Runs that must stop with exit code 1 and leave app.bin and the temp
// directory as they were.
TEST_F(SingleFileRun, FailuresLeaveFileAndTempAlone) {
  struct TCase {
    const char* Name;
    TBytes Target;       // what app.bin holds
    TWriterEntry Entry;  // the patch's one entry
    std::string Out;     // all of standard output
    std::string Fatal;   // the fatal message
  };
  TWriterEntry wrongCrc = ChainEntry("", {Old, New}, ResultStamp);
  wrongCrc.Info.ResultCrc ^= 1;
  // The checksum leaves out everything from byte 90 on, so only the size can
  // tell that the 90 bytes rebuilt are not the 100 the entry announces.
  TBytes short90 = RandomBytes(90, 7);
  TWriterEntry wrongSize = ChainEntry("", {Old, short90}, ResultStamp);
  wrongSize.Info.ResultSize = 100;
  wrongSize.Info.EntryFlags = EntryHasRanges;
  wrongSize.Exclude = {90, 1000};
  const std::string checking = "Checking patchinfo for \"app.bin\".\r\n";
  const std::vector<TCase> cases = {
      {"source of another version", RandomBytes(5000, 2), ChainEntry("", {Old, New}, ResultStamp),
       checking, "Error, patch seems not applicable to app.bin"},
      {"already the result: no already-patched check for single files", New,
       ChainEntry("", {Old, New}, ResultStamp), checking,
       "Error, patch seems not applicable to app.bin"},
      {"result checksum differs", Old, wrongCrc, checking,
       "Error while applying. Internal checksum doesn't match! Please contact author!"},
      {"result size differs", Old, wrongSize, checking,
       "Error while applying. Internal checksum doesn't match! Please contact author!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFileBytes(Dir.File("app.bin"), c.Target);
    Dir.WritePatch("fix.pat", SingleFilePatch(c.Entry, Notice));
    TRunResult run = Dir.Run({"fix.pat", "app.bin"});
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, c.Out);
    EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt(Notice) + FatalText(c.Fatal));
    EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), c.Target);
    EXPECT_TRUE(Dir.LeftInTemp().empty());
    EXPECT_EQ(ListDirectory(Dir.Path()), (std::vector<std::string>{"app.bin", "fix.pat", "tmp"}));
  }
}

// A temp directory that can't be had (here a name too long for any system:
// Windows then gives no temp path at all) stops the run before anything is
// written; the work files never go to the working directory instead.
TEST_F(SingleFileRun, TempDirectoryOutOfReachStopsTheRun) {
  TRunRequest request;
  request.Arguments = {"fix.pat", "app.bin"};
  request.WorkDir = Dir.Path();
  request.Environment = {{"TMPDIR", Dir.File(std::string(300, 't'))}};
  TRunResult run = RunProgram(request);
  EXPECT_EQ(run.ExitCode, 1);
  const std::string fatal = FatalText("Error, can't buffer patchdata in temporary files!");
  ASSERT_GE(run.Err.size(), fatal.size());
  EXPECT_EQ(run.Err.substr(run.Err.size() - fatal.size()), fatal);
  EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), Old);
  EXPECT_EQ(ListDirectory(Dir.Path()), (std::vector<std::string>{"app.bin", "fix.pat", "tmp"}));
}

// A copy of the program with the patch appended finds its patch itself; the
// first argument is then the old path.
TEST_F(SingleFileRun, SelfApplyingPatch) {
  TBytes program = ReadFileBytes(MendrixPath());
  ASSERT_FALSE(program.empty());
  const std::string self = Dir.File("fixer.exe");
  WriteFileBytes(
      self, BuildPatch(SingleFilePatch(ChainEntry("", {Old, New}, ResultStamp), Notice), program));
  std::filesystem::permissions(self, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add);

  TRunRequest request;
  request.Program = self;
  request.Arguments = {"app.bin"};
  request.WorkDir = Dir.Path();
  request.Environment = {{"TMPDIR", Dir.Temp()}};
  TRunResult run = RunProgram(request);
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Err, Banner() + NoticeAndPrompt(Notice));
  EXPECT_EQ(run.Out,
            "Checking patchinfo for \"app.bin\".\r\n"
            "Test Ok. Now applying patch.\r\n"
            "Patching file \"app.bin\".\r\n"
            "Done.\r\n");
  EXPECT_EQ(ReadFileBytes(Dir.File("app.bin")), New);
  EXPECT_TRUE(Dir.LeftInTemp().empty());
}

}  // namespace
}  // namespace mendrix::test
