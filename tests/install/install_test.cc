// Putting a finished result in place: every state the target and its backup
// name can be in, including those an interrupted run leaves, and failures
// that must leave the user's file untouched.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

#include <filesystem>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "support/test_files.h"
#include "install/entries.h"

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

class InstallResultTest : public testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    setenv("TZ", "UTC", 1);
    tzset();
#endif
    New = test::RandomBytes(150000, 5);  // more than one piece of the copy
    Old = test::RandomBytes(1000, 6);
    Context.Entry.ResultSize = static_cast<std::uint32_t>(New.size());
    Context.Entry.ResultCrc =
        CrcUpdate(CrcStart, New.data(), static_cast<std::int32_t>(New.size()));
    Context.Entry.ResultTime = ResultStamp;
    WriteFileBytes(Work, New);
  }

  // Names in the destination's directory that are install copies.
  std::vector<std::string> Copies() const {
    std::vector<std::string> copies;
    for (const std::string& name : ListDirectory(Dir.File("app"))) {
      if (name.find(".DWX") != std::string::npos) copies.push_back(name);
    }
    return copies;
  }

  test::TTempDir Dir;
  TPatchContext Context;
  TBytes New, Old;
  const std::string Work = Dir.File("work.tmp");
  const std::string Target = Dir.File("app/file.dat");
  const std::string Backup = Dir.File("app/Backup/file.dat");
};

TEST_F(InstallResultTest, PlacesResultInEveryStartingState) {
  struct TCase {
    const char* Name;
    bool TargetOld;    // the old file stands at the target
    int BackupState;   // 0 none, 1 a hard link to the target, 2 another file
    bool TreeMode;     // with a backup path
    bool TargetIsNew;  // the target already holds the result
  };
  const TCase cases[] = {
      {"single file replaced", true, 0, false, false},
      {"single file where none was", false, 0, false, false},
      {"tree: old file backed up", true, 0, true, false},
      {"tree: no old file, no backup", false, 0, true, false},
      {"tree: backup linked by an interrupted run", true, 1, true, false},
      {"tree: backup name taken, but the target already is the result", false, 2, true, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::error_code ignored;
    std::filesystem::remove_all(Dir.File("app"), ignored);
    if (c.TargetOld) WriteFileBytes(Target, Old);
    if (c.TargetIsNew) WriteFileBytes(Target, New);
    if (c.BackupState == 1) {
      std::filesystem::create_directories(Dir.File("app/Backup"));
      std::filesystem::create_hard_link(Target, Backup);
    }
    if (c.BackupState == 2) WriteFileBytes(Backup, {'x'});

    InstallResult(Context, Work, Target, c.TreeMode ? Backup : std::string());

    EXPECT_EQ(ReadFileBytes(Target), New);
    if (!c.TargetIsNew) {
      EXPECT_EQ(test::FileWriteTime(Target), ResultSeconds);
    }
    EXPECT_TRUE(Copies().empty());
    EXPECT_EQ(ReadFileBytes(Work), New);  // the work file is the caller's
    if (c.TreeMode && c.TargetOld) {
      EXPECT_EQ(ReadFileBytes(Backup), Old);
      EXPECT_FALSE(std::filesystem::equivalent(Backup, Target));
    }
    if (c.BackupState == 0 && !(c.TreeMode && c.TargetOld)) {
      EXPECT_FALSE(FileExists(Backup));
    }
    if (c.BackupState == 2) {
      EXPECT_EQ(ReadFileBytes(Backup), TBytes{'x'});
    }
  }
}

TEST_F(InstallResultTest, TakenBackupNameStopsWithTargetKept) {
  WriteFileBytes(Target, Old);
  WriteFileBytes(Backup, {'x'});
  EXPECT_EXIT(InstallResult(Context, Work, Target, Backup), testing::ExitedWithCode(1),
              testing::Eq("Error, can't replace \"" + Target + "\"!\r\n\r\n\r\n"));
  EXPECT_EQ(ReadFileBytes(Target), Old);
  EXPECT_EQ(ReadFileBytes(Backup), TBytes{'x'});
  EXPECT_TRUE(Copies().empty());
}

TEST_F(InstallResultTest, MissingWorkFileStops) {
  WriteFileBytes(Target, Old);
  EXPECT_EXIT(InstallResult(Context, Dir.File("gone"), Target, std::string()),
              testing::ExitedWithCode(1), "Error, can't open temporary generated file!");
  EXPECT_EQ(ReadFileBytes(Target), Old);
}

// The copy runs out of room halfway (a file size limit that root is held to
// as well): the old file must still be there, whole, and no half copy left.
TEST_F(InstallResultTest, FailedCopyKeepsOldFile) {
#ifdef _WIN32
  GTEST_SKIP() << "no file size limit to run out of";
#else
  for (bool treeMode : {false, true}) {
    SCOPED_TRACE(treeMode ? "tree" : "single file");
    WriteFileBytes(Target, Old);
    auto installWithLimit = [&] {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails instead
      struct rlimit limit = {65536, 65536};
      setrlimit(RLIMIT_FSIZE, &limit);
      InstallResult(Context, Work, Target, treeMode ? Backup : std::string());
    };
    EXPECT_EXIT(installWithLimit(), testing::ExitedWithCode(1),
                "Error, can't copy temporary generated file!");
    EXPECT_EQ(ReadFileBytes(Target), Old);
    EXPECT_FALSE(FileExists(Backup));
    EXPECT_TRUE(Copies().empty());
  }
#endif
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
