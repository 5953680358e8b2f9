// The target search's walk and its progress display, in process: a patch
// whose target is nowhere, so every candidate fails its quiet test and no
// question is asked.
#include "run/search.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/patch_builder.h"
#include "support/test_files.h"
#include "writer/patch_writer.h"

namespace mendrix {
namespace {

std::string Erase(std::size_t count) {
  return std::string(count, '\b') + std::string(count, ' ') + std::string(count, '\b');
}

class SearchTargetsTest : public testing::Test {
 protected:
  void SetUp() override {
    // A single-file patch for a 3-byte file "abc" that the tree never holds.
    TWriterPatch patch;
    patch.Notice = "n";
    patch.BackupName = "B";
    TWriterEntry entry;
    entry.Info.ResultSize = 3;
    entry.Variants.push_back(test::MakeVariant({TDeltaOp::Copy(3, 0)}, {190, 2, 20, 255}, 0, 3));
    patch.Entries.push_back(entry);
    test::WriteFileBytes(Temp.File("p.pat"), test::BuildPatch(patch));
    OpenForReading(Context.PatchFile, Temp.File("p.pat"));
    ASSERT_EQ(TakeIoStatus(), 0);
    Context.EntryTableOffset = 76 + 1 + 1 + 1;  // header, notice, backup name
    Context.TempDir = Temp.Path() + "/";
  }
  void TearDown() override {
    CloseDiskFile(Context.PatchFile);
    (void)TakeIoStatus();
  }

  std::string Search(const std::string& path, int depth, bool& found) {
    testing::internal::CaptureStdout();
    found = SearchTargets(Context, *Work, Options, path, depth, 0);
    return testing::internal::GetCapturedStdout();
  }

  test::TTempDir Temp;
  test::TTempDir Root;
  TPatchContext Context;
  std::unique_ptr<TWorkState> Work = std::make_unique<TWorkState>();
  TRunPaths Options;
};

TEST_F(SearchTargetsTest, DriveWithoutRootShowsAndErasesIt) {
#ifdef _WIN32
  GTEST_SKIP() << "the drives are real ones";
#endif
  for (const char* drive : {"D:\\", "Z:\\"}) {
    SCOPED_TRACE(drive);
    bool found = true;
    EXPECT_EQ(Search(drive, 1, found), std::string(drive) + Erase(3));
    EXPECT_FALSE(found);
  }
}

// The display grows by each directory entered and shrinks on the way back;
// a link to a directory is never entered (this one would lead in a circle).
TEST_F(SearchTargetsTest, DescentShowsEachLevelAndSkipsDirectoryLinks) {
  test::WriteFileText(Root.File("one.txt"), "xyz!");
  test::WriteFileText(Root.File("a/two.txt"), "xy");
  test::WriteFileText(Root.File("a/b/three.txt"), "abd");
#ifndef _WIN32
  std::filesystem::create_directory_symlink(Root.Path(), Root.File("a/loop"));
#endif
  const std::string top = Root.Path() + "\\";
  bool found = true;
  EXPECT_EQ(Search(top, 1, found), top + "a\\" + "b\\" + Erase(2) + Erase(2) + Erase(top.size()));
  EXPECT_FALSE(found);
}

// Depth 0 searches only the directory's own entries.
TEST_F(SearchTargetsTest, CurrentDirectoryPassDoesNotDescend) {
  test::WriteFileText(Root.File("a/two.txt"), "xy");
  const std::string top = Root.Path() + "\\";
  bool found = true;
  EXPECT_EQ(Search(top, 0, found), top + Erase(top.size()));
  EXPECT_FALSE(found);
  EXPECT_EQ(Options.OldPath, top + "a");  // the last entry listed
  EXPECT_EQ(Options.NewPath, Options.OldPath);
}

}  // namespace
}  // namespace mendrix
