#include "fileio/fileio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <random>
#include <vector>

#include "support/test_files.h"

namespace mendrix {
namespace {

using test::ReadFileBytes;
using test::TTempDir;
using test::WriteFileBytes;

class FileIo : public testing::Test {
 protected:
  void SetUp() override { (void)TakeIoStatus(); }
  void TearDown() override { EXPECT_EQ(TakeIoStatus(), 0) << "a failure was left pending"; }
  TTempDir Dir;
};

TEST_F(FileIo, ReadBlockAtTheEndFailsButKeepsWhatItRead) {
  WriteFileBytes(Dir.File("f"), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  TDiskFile file;
  OpenForReading(file, Dir.File("f"));
  SeekTo(file, 6);
  std::uint8_t buffer[10] = {};
  EXPECT_FALSE(ReadBlock(file, buffer, 10));
  EXPECT_EQ(buffer[0], 7);
  EXPECT_EQ(buffer[3], 10);
  EXPECT_EQ(GetPosition(file), 10);
  CloseDiskFile(file);
}

TEST_F(FileIo, ReadBlockCrossesSeveralPieces) {
  std::vector<std::uint8_t> bytes = test::RandomBytes(150000, 7);
  WriteFileBytes(Dir.File("f"), bytes);
  TDiskFile file;
  OpenForReading(file, Dir.File("f"));
  std::vector<std::uint8_t> read(150000);
  EXPECT_TRUE(ReadBlock(file, read.data(), 150000));
  EXPECT_EQ(read, bytes);
  CloseDiskFile(file);
}

TEST_F(FileIo, ReadAheadGivesWhatPlainReadsGive) {
  // The same random reads, seeks, positions and positioned reads on one file
  // opened twice, with and without the read-ahead buffer: every byte, every
  // position and every failure must agree.
  const std::vector<std::uint8_t> bytes = test::RandomBytes(300000, 5);
  WriteFileBytes(Dir.File("f"), bytes);
  TReadAhead ahead;
  TDiskFile buffered;
  buffered.ReadAhead = &ahead;
  TDiskFile plain;
  OpenForReading(buffered, Dir.File("f"));
  OpenForReading(plain, Dir.File("f"));
  ASSERT_EQ(TakeIoStatus(), 0);
  std::mt19937 random(9);
  const auto below = [&](std::int32_t n) {
    return static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(n));
  };
  std::vector<std::uint8_t> fromBuffered(200000);
  std::vector<std::uint8_t> fromPlain(200000);
  for (int step = 0; step < 5000; ++step) {
    SCOPED_TRACE(step);
    switch (below(6)) {
      case 0:
      case 1: {  // mostly small reads, now and then one longer than the buffer
        const std::int32_t count = below(10) == 0 ? below(200000) : below(300);
        ReadExact(buffered, fromBuffered.data(), count);
        const int bufferedStatus = TakeIoStatus();
        ReadExact(plain, fromPlain.data(), count);
        ASSERT_EQ(bufferedStatus == 0, TakeIoStatus() == 0);
        if (bufferedStatus == 0) {
          ASSERT_TRUE(std::equal(fromPlain.begin(), fromPlain.begin() + count,
                                 fromBuffered.begin()));
        }
        break;
      }
      case 2: {  // short jumps either way, far jumps, past the end, negative
        const std::int32_t at = GetPosition(plain);
        std::int32_t target = below(3) == 0 ? below(320000) - 10000 : at + below(20000) - 10000;
        if (below(4) == 0 && ahead.Start >= 0) {  // at the edges of what is buffered
          const std::int64_t edge = below(2) == 0 ? ahead.Start : ahead.Start + ahead.End;
          target = static_cast<std::int32_t>(edge) + below(3) - 1;
        }
        SeekTo(buffered, target);
        const int bufferedStatus = TakeIoStatus();
        SeekTo(plain, target);
        ASSERT_EQ(bufferedStatus, TakeIoStatus());
        break;
      }
      case 3:
      case 4:
        ASSERT_EQ(GetPosition(buffered), GetPosition(plain));
        break;
      default: {
        const std::int32_t at = below(300000);
        const std::int32_t count = below(1000);
        ReadExactAt(buffered, at, fromBuffered.data(), count);
        const int bufferedStatus = TakeIoStatus();
        ReadExactAt(plain, at, fromPlain.data(), count);
        ASSERT_EQ(bufferedStatus == 0, TakeIoStatus() == 0);
        // The position is unspecified afterwards: both start again here.
        SeekTo(buffered, at);
        SeekTo(plain, at);
        ASSERT_EQ(TakeIoStatus(), 0);
        break;
      }
    }
  }
  CloseDiskFile(buffered);
  CloseDiskFile(plain);
}

TEST_F(FileIo, PendingFailureMakesTheNextBlockFail) {
  WriteFileBytes(Dir.File("f"), {1, 2, 3, 4, 5, 6, 7, 8});
  TDiskFile file;
  OpenForReading(file, Dir.File("f"));
  SeekTo(file, -8);  // fails, position unchanged
  std::uint8_t buffer[4];
  EXPECT_FALSE(ReadBlock(file, buffer, 4));
  EXPECT_EQ(buffer[0], 1);  // the read itself worked
  EXPECT_TRUE(ReadBlock(file, buffer, 0));
  SeekTo(file, -1);
  EXPECT_FALSE(ReadBlock(file, buffer, 0));  // and clears it
  EXPECT_TRUE(ReadBlock(file, buffer, 0));
  CloseDiskFile(file);
}

TEST_F(FileIo, FailedOpenLeavesTheFileClosed) {
  TDiskFile file;
  OpenForReading(file, Dir.File("missing"));
  EXPECT_NE(TakeIoStatus(), 0);
  EXPECT_EQ(file.State, TFileState::Closed);
  CloseDiskFile(file);
  EXPECT_NE(TakeIoStatus(), 0);
}

TEST_F(FileIo, OpenForReadingTakesRegularFilesOnly) {
  TDiskFile file;
  OpenForReading(file, Dir.Path());
  EXPECT_NE(TakeIoStatus(), 0);
#ifdef _WIN32
  OpenForReading(file, "NUL");  // a device
#else
  ASSERT_EQ(mkfifo(Dir.File("fifo").c_str(), 0600), 0);
  OpenForReading(file, Dir.File("fifo"));  // must not block
#endif
  EXPECT_NE(TakeIoStatus(), 0);
  WriteFileBytes(Dir.File("ro"), {1});
  chmod(Dir.File("ro").c_str(), 0444);
  OpenForReading(file, Dir.File("ro"));
  EXPECT_EQ(TakeIoStatus(), 0);
  CloseDiskFile(file);
}

TEST_F(FileIo, WritesToAFullDeviceFail) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no device that is always full";
#endif
  TDiskFile full;
  OpenForWriting(full, "/dev/full");
  ASSERT_EQ(TakeIoStatus(), 0);
  std::uint8_t byte = 1;
  EXPECT_FALSE(WriteBlock(full, &byte, 1));
  CloseDiskFile(full);
}

TEST_F(FileIo, WriteNeedsAFileOpenForWriting) {
  WriteFileBytes(Dir.File("f"), {1});
  TDiskFile file;
  OpenForReading(file, Dir.File("f"));
  std::uint8_t byte = 1;
  EXPECT_FALSE(WriteBlock(file, &byte, 1));
  CloseDiskFile(file);
}

TEST_F(FileIo, CreateNewRefusesAnyExistingName) {
  WriteFileBytes(Dir.File("target"), {1, 2});
  std::vector<const char*> names = {"target"};
#ifndef _WIN32  // links need privileges there
  ASSERT_EQ(symlink(Dir.File("target").c_str(), Dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink(Dir.File("nowhere").c_str(), Dir.File("dangling").c_str()), 0);
  names.insert(names.end(), {"link", "dangling"});
#endif
  TDiskFile file;
  for (const char* name : names) {
    SCOPED_TRACE(name);
    CreateNewForWriting(file, Dir.File(name));
    EXPECT_NE(TakeIoStatus(), 0);
  }
  EXPECT_FALSE(test::FileExists(Dir.File("nowhere")));
  EXPECT_EQ(ReadFileBytes(Dir.File("target")).size(), 2u);
  CreateNewForWriting(file, Dir.File("fresh"));
  EXPECT_EQ(TakeIoStatus(), 0);
  CloseDiskFile(file);
}

TEST_F(FileIo, MoveNeverReplaces) {
  WriteFileBytes(Dir.File("a"), {1});
  WriteFileBytes(Dir.File("b"), {2});
  TDiskFile file;
  file.Path = Dir.File("a");
  MoveDiskFile(file, Dir.File("b"));
  EXPECT_NE(TakeIoStatus(), 0);
  EXPECT_EQ(ReadFileBytes(Dir.File("a")), std::vector<std::uint8_t>{1});
  EXPECT_EQ(ReadFileBytes(Dir.File("b")), std::vector<std::uint8_t>{2});
  EXPECT_EQ(file.Path, Dir.File("a"));
  MoveDiskFile(file, Dir.File("c"));
  EXPECT_EQ(TakeIoStatus(), 0);
  EXPECT_EQ(file.Path, Dir.File("c"));
  EXPECT_FALSE(test::FileExists(Dir.File("a")));
}

TEST_F(FileIo, ReplaceAndLink) {
  WriteFileBytes(Dir.File("old"), {1});
  WriteFileBytes(Dir.File("new"), {2});
  TDiskFile file;
  file.Path = Dir.File("old");
  LinkDiskFile(file, Dir.File("backup"));
  EXPECT_EQ(TakeIoStatus(), 0);
  EXPECT_TRUE(SameFile(Dir.File("old"), Dir.File("backup")));
  LinkDiskFile(file, Dir.File("new"));  // never replaces
  EXPECT_NE(TakeIoStatus(), 0);
  file.Path = Dir.File("new");
  ReplaceDiskFile(file, Dir.File("old"));
  EXPECT_EQ(TakeIoStatus(), 0);
  EXPECT_EQ(ReadFileBytes(Dir.File("old")), std::vector<std::uint8_t>{2});
  EXPECT_EQ(ReadFileBytes(Dir.File("backup")), std::vector<std::uint8_t>{1});
  EXPECT_FALSE(SameFile(Dir.File("old"), Dir.File("backup")));
}

TEST_F(FileIo, DeleteFailsForMissingFilesAndDirectories) {
  TDiskFile file;
  file.Path = Dir.File("missing");
  DeleteDiskFile(file);
  EXPECT_NE(TakeIoStatus(), 0);
  file.Path = Dir.Path();
  DeleteDiskFile(file);
  EXPECT_NE(TakeIoStatus(), 0);
}

TEST_F(FileIo, MakeDirectoriesCreatesEverythingBeforeTheLastSeparator) {
  std::string path = Dir.Path() + "/a/b\\c.txt";
  TRunFiles run;
  MakeDirectories(run, path);
  EXPECT_TRUE(std::filesystem::is_directory(Dir.File("a/b")));
  EXPECT_FALSE(std::filesystem::exists(Dir.File("a/b/c.txt")));
  MakeDirectories(run, path);  // again: nothing changes, nothing pending
  EXPECT_EQ(TakeIoStatus(), 0);
  MakeDirectories(run, "plainname");
  EXPECT_FALSE(std::filesystem::exists("plainname"));
}

TEST_F(FileIo, PathExistsOnlyForRegularFiles) {
  WriteFileBytes(Dir.File("f"), {1});
  EXPECT_TRUE(PathExists(Dir.File("f")));
#ifndef _WIN32
  ASSERT_EQ(symlink(Dir.File("f").c_str(), Dir.File("l").c_str()), 0);
  EXPECT_TRUE(PathExists(Dir.File("l")));
#endif
  EXPECT_TRUE(PathExists(Dir.Path() + "\\f"));  // backslashes are separators
  EXPECT_FALSE(PathExists(Dir.Path()));
  EXPECT_FALSE(PathExists(Dir.File("missing")));
  EXPECT_FALSE(PathExists("D:\\"));
}

TEST_F(FileIo, SetFileStampSetsTheLastWriteTimeAsLocalTime) {
#ifdef _WIN32
  // A Windows process keeps the time zone it started with (UTC in the tests).
  const std::int64_t offset = 0;
#else
  const char* savedTz = std::getenv("TZ");
  std::string saved = savedTz != nullptr ? savedTz : "";
  setenv("TZ", "UTC-2", 1);  // two hours east of UTC, no daylight saving
  tzset();
  const std::int64_t offset = 2 * 3600;
#endif
  TDiskFile file;
  CreateNewForWriting(file, Dir.File("f"));
  // 26 October 1998, 14:39:02 local time.
  EXPECT_EQ(SetFileStamp(file, 0x255A74E1), 0);
  CloseDiskFile(file);
  EXPECT_EQ(test::FileWriteTime(Dir.File("f")), 909412742 - offset);

  OpenForReading(file, Dir.File("f"));
  EXPECT_NE(SetFileStamp(file, 0x255A74E1 + 2), 0);  // read-only: refused
  CloseDiskFile(file);
  CreateNewForWriting(file, Dir.File("g"));
  EXPECT_NE(SetFileStamp(file, 0x255A0000 | (24u << 11)), 0);  // hour 24
  EXPECT_NE(SetFileStamp(file, 0x0040u << 16), 0);             // day 0
  CloseDiskFile(file);
  EXPECT_EQ(test::FileWriteTime(Dir.File("f")), 909412742 - offset);

#ifndef _WIN32
  if (savedTz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
#endif
}

TEST_F(FileIo, JoinPathPutsOneBackslashBetween) {
  EXPECT_EQ(JoinPath("new", "sub\\a.dat"), "new\\sub\\a.dat");
  EXPECT_EQ(JoinPath("C:\\", "a"), "C:\\\\a");
}

TEST_F(FileIo, RemoveCreatedFilesDeletesOnlyRememberedFiles) {
  TDiskFile work;
  TRunFiles run;
  CreateNewForWriting(work, Dir.File("work"));
  RememberCreatedFile(run, Dir.File("work"));
  WriteFileBytes(Dir.File("kept"), {1});
  RememberCreatedFile(run, Dir.File("kept"));
  ForgetCreatedFile(run, Dir.File("kept"));
  CloseDiskFile(work);  // a fatal stop closes every file first
  RemoveCreatedFiles(run);
  EXPECT_FALSE(test::FileExists(Dir.File("work")));
  EXPECT_TRUE(test::FileExists(Dir.File("kept")));
}

}  // namespace
}  // namespace mendrix
