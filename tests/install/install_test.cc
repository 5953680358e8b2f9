// Putting staged results in place: every state the target and its backup
// name can be in, including those an interrupted run leaves, and a commit
// that fails halfway.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "support/test_files.h"
#include "install/entries.h"
#include "install/staging.h"

namespace mendrix {
namespace {

using test::FileExists;
using test::ListDirectory;
using test::ReadFileBytes;
using test::WriteFileBytes;

using TBytes = std::vector<std::uint8_t>;

// 2003-04-05 06:07:08 as a DOS date-time and in seconds since 1970, UTC.
constexpr std::uint32_t ResultStamp = (23u << 9 | 4u << 5 | 5u) << 16 | (6u << 11 | 7u << 5 | 4u);
constexpr std::int64_t ResultSeconds = 1049522828;

// A hand-made entry of a tree or single-file patch whose result is staged
// beside its target, and then committed.
class CommitTest : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    setenv("TZ", "UTC", 1);
    tzset();
#endif
    New = test::RandomBytes(150000, 5);
    Old = test::RandomBytes(1000, 6);
    Context.BackupName = "Backup";
  }

  // Looks at the entry for name, stages New for it and adds it to Plan.
  bool Plan(bool treeMode, const std::string& name, TInstallProblem& problem) {
    Context.TreeMode = treeMode;
    Options.NewPath = treeMode ? Dir.File("app") : Dir.File("app/" + name);
    Context.EntryName = treeMode ? name : Options.NewPath;
    Context.TargetPath = treeMode ? JoinPath(Options.NewPath, name) : Options.NewPath;
    TPlannedEntry entry;
    entry.Name = name;
    if (!CheckFileInstall(Context, Options, entry, problem)) return false;
    entry.Staged = Context.TargetPath + ".DWX0";
    std::string systemName = entry.Staged;  // the test writes it without the program's layer
    std::replace(systemName.begin(), systemName.end(), '\\', '/');
    WriteFileBytes(systemName, New);
    RememberCreatedFile(Run, entry.Staged);
    TDiskFile file;
    OpenForWriting(file, entry.Staged);
    EXPECT_TRUE(FinishFile(file, entry.Replaces ? entry.Target : "", ResultStamp, entry.StagedWas));
    CloseDiskFile(file);
    EXPECT_EQ(TakeIoStatus(), 0);
    Installs.Entries.push_back(entry);
    return true;
  }

  // Names in the target's directory that are staged files.
  std::vector<std::string> Staged() const {
    std::vector<std::string> staged;
    for (const std::string& name : ListDirectory(Dir.File("app"))) {
      if (name.find(".DWX") != std::string::npos) staged.push_back(name);
    }
    return staged;
  }

  test::TTempDir Dir;
  TPatchContext Context;
  TRunPaths Options;
  TRunFiles Run;
  TInstallPlan Installs;
  TBytes New, Old;
  const std::string Target = Dir.File("app/file.dat");
  const std::string Backup = Dir.File("app/Backup/file.dat");
};

TEST_F(CommitTest, PlacesResultInEveryStartingState) {
  struct TCase {
    const char* Name;
    bool TargetOld;   // the old file stands at the target
    bool BackupLink;  // an interrupted run linked it to its backup name
    bool TreeMode;
  };
  const TCase cases[] = {
      {"single file replaced", true, false, false},
      {"single file where none was", false, false, false},
      {"tree: old file backed up", true, false, true},
      {"tree: no old file, no backup", false, false, true},
      {"tree: backup linked by an interrupted run", true, true, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::error_code ignored;
    std::filesystem::remove_all(Dir.File("app"), ignored);
    std::filesystem::create_directories(Dir.File("app"));
    if (c.TargetOld) WriteFileBytes(Target, Old);
    if (c.BackupLink) {
      std::filesystem::create_directories(Dir.File("app/Backup"));
      std::filesystem::create_hard_link(Target, Backup);
    }
    Installs = TInstallPlan();
    TInstallProblem problem;
    ASSERT_TRUE(Plan(c.TreeMode, "file.dat", problem)) << problem.Message;

    CommitPlan(Run, Installs, Context, Options);

    EXPECT_EQ(ReadFileBytes(Target), New);
    EXPECT_EQ(test::FileWriteTime(Target), ResultSeconds);
    EXPECT_TRUE(Staged().empty());
    if (c.TreeMode && c.TargetOld) {
      EXPECT_EQ(ReadFileBytes(Backup), Old);
    } else {
      EXPECT_FALSE(FileExists(Backup));
    }
  }
}

TEST_F(CommitTest, TakenBackupNameIsFoundBeforeAnythingChanges) {
  std::filesystem::create_directories(Dir.File("app"));
  WriteFileBytes(Target, Old);
  WriteFileBytes(Backup, {'x'});
  TInstallProblem problem;
  EXPECT_FALSE(Plan(true, "file.dat", problem));
  EXPECT_EQ(problem.Message, "Error, can't replace \"" + JoinPath(Dir.File("app"), "file.dat") +
                                 "\"!");
  EXPECT_NE(problem.Note.find("already holds"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(Target), Old);
}

// The second entry's target changed after the test: the commit stops there
// and puts the first entry back as it was, backup name and all.
TEST_F(CommitTest, FailedCommitPutsBackWhatItDid) {
  std::filesystem::create_directories(Dir.File("app"));
  WriteFileBytes(Target, Old);
  WriteFileBytes(Dir.File("app/second.dat"), Old);
  TInstallProblem problem;
  ASSERT_TRUE(Plan(true, "file.dat", problem));
  ASSERT_TRUE(Plan(true, "second.dat", problem));
  WriteFileBytes(Dir.File("app/second.dat"), {'c', 'h', 'a', 'n', 'g', 'e', 'd'});
  // A fatal stop removes the run's own files, as the run driver has it do.
  const auto removeRunFiles = [](int, void* run) {
    RemoveCreatedFiles(*static_cast<TRunFiles*>(run));
  };
  EXPECT_EXIT(
      {
        (void)OsSetExitHook({removeRunFiles, &Run});
        CommitPlan(Run, Installs, Context, Options);
      },
      testing::ExitedWithCode(1), "Error, can't replace");
  EXPECT_EQ(ReadFileBytes(Target), Old);
  EXPECT_FALSE(FileExists(Backup));
  EXPECT_FALSE(FileExists(Dir.File("app/Backup")));
  EXPECT_TRUE(Staged().empty());
}

TEST(FileMatches, SizeFirstThenChecksum) {
  test::TTempDir dir;
  const TBytes bytes = {'a', 'b', 'c', 'd', 'e', 'f'};
  WriteFileBytes(dir.File("f"), bytes);
  const std::uint32_t crc = CrcUpdate(CrcStart, bytes.data(), 6);
  const TBytes covered = {'a', 'b', 'e', 'f'};
  const std::uint32_t coveredCrc = CrcUpdate(CrcStart, covered.data(), 4);
  struct TCase {
    const char* Name;
    std::string Path;
    std::uint32_t Size, Crc;
    TExcludeRange Exclude;
    bool Match;
  };
  const TCase cases[] = {
      {"whole file", dir.File("f"), 6, crc, {}, true},
      {"size differs", dir.File("f"), 7, crc, {}, false},
      {"checksum differs", dir.File("f"), 6, crc ^ 1, {}, false},
      {"range left out", dir.File("f"), 6, coveredCrc, {2, 2}, true},
      {"missing file", dir.File("none"), 6, crc, {}, false},
      {"a directory", dir.Path(), 6, crc, {}, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(FileMatches(c.Path, c.Size, c.Crc, c.Exclude), c.Match);
  }
}

}  // namespace
}  // namespace mendrix
