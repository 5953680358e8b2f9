// Embedded files read straight from a record in a patch file: skipped in
// tests with the position moved past them, staged whole and dated beside
// their place, and never left half-written.
#include "install/embedded.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "patchfile/byte_order.h"
#include "support/test_files.h"
#include "install/entries.h"

namespace mendrix {
namespace {

using TBytes = std::vector<std::uint8_t>;

// 1999-12-31 23:59:58 as a DOS date-time, and in seconds since 1970 (UTC).
constexpr std::uint32_t Stamp = (19u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
constexpr std::int64_t StampSeconds = 946684798;

// A file holding a lead-in, the record (length, time) and content bytes,
// and a tail byte; the context's patch file is open at the record.
class EmbeddedTest : public testing::Test {
 protected:
  void Open(std::uint32_t length, const TBytes& content) {
#ifndef _WIN32
    setenv("TZ", "UTC", 1);
    tzset();
#endif
    TBytes bytes(12 + content.size() + 1, 'T');
    std::copy_n("lead", 4, bytes.begin());
    StoreU32Le(bytes.data() + 4, length);
    StoreU32Le(bytes.data() + 8, Stamp);
    std::copy(content.begin(), content.end(), bytes.begin() + 12);
    test::WriteFileBytes(Dir.File("patch"), bytes);
    OpenForReading(Context.PatchFile, Dir.File("patch"));
    ASSERT_EQ(TakeIoStatus(), 0);
    SeekTo(Context.PatchFile, 4);
    Context.EmbeddedPath = Dir.File("out/sub/file.txt");
  }
  void TearDown() override {
    CloseDiskFile(Context.PatchFile);
    (void)TakeIoStatus();
  }

  test::TTempDir Dir;
  TPatchContext Context;
  TRunFiles Run;
};

TEST_F(EmbeddedTest, TestPassStepsOverContent) {
  for (std::uint32_t length : {0u, 1u, 70000u}) {
    SCOPED_TRACE(length);
    Open(length, TBytes(length, 'c'));
    SkipEmbeddedContent(Context, ReadEmbeddedRecord(Context));
    EXPECT_EQ(GetPosition(Context.PatchFile), static_cast<std::int32_t>(12 + length));
    EXPECT_FALSE(test::FileExists(Dir.File("out")));
    CloseDiskFile(Context.PatchFile);
  }
}

TEST_F(EmbeddedTest, StagingWritesDatedPrivateCopyBeside) {
  for (std::uint32_t length : {0u, 5u, 130000u}) {
    SCOPED_TRACE(length);
    const TBytes content = test::RandomBytes(length, length);
    // An older, longer file there is replaced whole.
    test::WriteFileBytes(Dir.File("out/sub/file.txt"), TBytes(140000, 'o'));
    Open(length, content);
    std::string staged;
    TOsFileIdentity identity;
    ASSERT_TRUE(StageEmbeddedContent(Context, Run, ReadEmbeddedRecord(Context), "", staged, identity));
    EXPECT_EQ(identity.Size, length);
    EXPECT_EQ(GetPosition(Context.PatchFile), static_cast<std::int32_t>(12 + length));
    EXPECT_EQ(test::ReadFileBytes(staged), content);
    EXPECT_EQ(test::FileWriteTime(staged), StampSeconds);
    // The file there stays until the commit.
    EXPECT_EQ(test::ReadFileBytes(Context.EmbeddedPath), TBytes(140000, 'o'));
    EXPECT_EQ(staged, Context.EmbeddedPath + ".DWX0");
    DeleteQuietly(Run, staged);
    CloseDiskFile(Context.PatchFile);
  }
}

TEST_F(EmbeddedTest, TruncatedContentLeavesNothingHalfWritten) {
  Open(500, TBytes(100, 'c'));  // announces 500 bytes, holds 100 and the tail
  std::string staged;
  TOsFileIdentity identity;
  EXPECT_FALSE(StageEmbeddedContent(Context, Run, ReadEmbeddedRecord(Context), "", staged, identity));
  EXPECT_EQ(test::ListDirectory(Dir.File("out/sub")), std::vector<std::string>{});
}

TEST_F(EmbeddedTest, DamagedRecordStops) {
  struct TCase {
    const char* Name;
    std::uint32_t Length;
    std::int32_t At;  // where the record is read
    const char* Message;
  };
  const TCase cases[] = {
      {"record cut short", 0, 10, "Error, can't read from patchfile\\?!"},
      {"length runs past every file position", 0xFFFFFFF0u, 4, "Error, patch corrupted!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Open(c.Length, {});
    SeekTo(Context.PatchFile, c.At);
    EXPECT_EXIT(SkipEmbeddedContent(Context, ReadEmbeddedRecord(Context)),
                testing::ExitedWithCode(1), c.Message);
    CloseDiskFile(Context.PatchFile);
  }
}

}  // namespace
}  // namespace mendrix
