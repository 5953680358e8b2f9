// Whole runs of mendrix-make, each patch then applied by mendrix: the
// rebuilt files must equal the new version byte for byte and carry its date.
#include "generator/make_patch.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "generator/dos_time.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

TBytes Edited(TBytes bytes, std::uint32_t seed) {
  const TBytes noise = RandomBytes(64, seed);
  for (std::size_t i = seed % 97; i < bytes.size(); i += 301) bytes[i] ^= noise[i % 64] | 1;
  if (bytes.size() > 5000) bytes.erase(bytes.begin() + 3000, bytes.begin() + 3100);
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 3), noise.begin(),
               noise.end());
  return bytes;
}

// Seconds since 1970 that a file gets, and what it has after a trip through
// a DOS date-time (even seconds).
constexpr std::int64_t NewTime = 1434010151;  // 2015-06-11 08:09:11 UTC

void SetTime(const std::string& path, std::int64_t seconds) {
  const auto moment = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(moment));
}

class MakePatchRun : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(Dir.File("tmp")); }

  TRunResult Make(std::vector<std::string> arguments) {
    TRunRequest request;
    request.Program = MENDRIX_MAKE_BINARY;
    arguments.insert(arguments.begin(), "-quiet");
    request.Arguments = arguments;
    request.WorkDir = Dir.Path();
    request.Environment = {{"TZ", "UTC"}};
    return RunProgram(request);
  }

  TRunResult Apply(const std::string& program, std::vector<std::string> arguments) {
    TRunRequest request;
    request.Program = program;
    request.Arguments = std::move(arguments);
    request.WorkDir = Dir.File("apply");
    request.Environment = {{"TZ", "UTC"}, {"TMPDIR", Dir.File("tmp")}};
    fs::create_directories(request.WorkDir);
    return RunProgram(request);
  }

  void ExpectFile(const std::string& path, const TBytes& bytes) {
    ASSERT_TRUE(FileExists(path)) << path;
    EXPECT_EQ(ReadFileBytes(path), bytes) << path;
    EXPECT_EQ(FileWriteTime(path), NewTime - NewTime % 2) << path;
  }

  TTempDir Dir;
};

TEST_F(MakePatchRun, SingleFileRoundTrips) {
  const TBytes base = RandomBytes(30000, 11);
  struct TCase {
    const char* Name;
    TBytes Old;
    TBytes New;
  };
  const TCase cases[] = {
      {"scattered edits, a cut and an insertion", base, Edited(base, 1)},
      {"a file growing from 0 bytes", {}, base},
      {"a file shrinking to 0 bytes", base, {}},
      {"moved blocks", base,
       [&] {
         TBytes moved(base.begin() + 20000, base.end());
         moved.insert(moved.end(), base.begin(), base.begin() + 20000);
         return moved;
       }()},
      {"unrelated contents", base, RandomBytes(12345, 12)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFileBytes(Dir.File("old.bin"), c.Old);
    WriteFileBytes(Dir.File("new.bin"), c.New);
    SetTime(Dir.File("new.bin"), NewTime);
    const TRunResult made = Make({"-f", "p.pat", "old.bin", "new.bin"});
    ASSERT_EQ(made.ExitCode, 0) << made.Err;
    WriteFileBytes(Dir.File("apply/target.bin"), c.Old);
    const TRunResult applied = Apply("", {Dir.File("p.pat"), "target.bin"});
    ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
    ExpectFile(Dir.File("apply/target.bin"), c.New);
  }
}

TEST_F(MakePatchRun, ThreeVersionChainAppliesFromEachOldVersion) {
  const TBytes v1 = RandomBytes(20000, 21);
  const TBytes v2 = Edited(v1, 2);
  const TBytes v3 = Edited(v2, 3);
  const TBytes latest = Edited(v3, 4);
  WriteFileBytes(Dir.File("v1"), v1);
  WriteFileBytes(Dir.File("v2"), v2);
  WriteFileBytes(Dir.File("v2copy"), v2);  // consecutive equal versions are merged
  WriteFileBytes(Dir.File("v3"), v3);
  WriteFileBytes(Dir.File("new"), latest);
  SetTime(Dir.File("new"), NewTime);
  const TRunResult made = Make({"p.pat", "v1", "v2", "v2copy", "v3", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  for (const TBytes* old : {&v1, &v2, &v3}) {
    WriteFileBytes(Dir.File("apply/target"), *old);
    const TRunResult applied = Apply("", {Dir.File("p.pat"), "target"});
    ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
    ExpectFile(Dir.File("apply/target"), latest);
  }
  // A file in none of the versions is refused and left as it was.
  WriteFileBytes(Dir.File("apply/target"), Text("something else"));
  EXPECT_EQ(Apply("", {Dir.File("p.pat"), "target"}).ExitCode, 1);
  EXPECT_EQ(ReadFileBytes(Dir.File("apply/target")), Text("something else"));
}

// A file large enough to be indexed and planned on several threads: the
// same patch for any number of them, and it applies.
TEST_F(MakePatchRun, LargeFileMadeOnSeveralThreadsGivesOnePatch) {
  TBytes old = RandomBytes(3 << 19, 31);
  const TBytes block = RandomBytes(80000, 32);
  for (std::size_t at : {std::size_t{150000}, std::size_t{800000}, std::size_t{1400000}}) {
    std::copy(block.begin(), block.end(), old.begin() + static_cast<std::ptrdiff_t>(at));
  }
  std::fill(old.begin() + 500000, old.begin() + 650000, 0);
  TBytes latest = Edited(old, 33);
  latest.insert(latest.begin() + 1000000, block.begin(), block.end());
  WriteFileBytes(Dir.File("old.bin"), old);
  WriteFileBytes(Dir.File("new.bin"), latest);
  SetTime(Dir.File("new.bin"), NewTime);
  for (const std::string jobs : {"1", "2", "3"}) {
    const TRunResult made = Make({"-j", jobs, "p" + jobs + ".pat", "old.bin", "new.bin"});
    ASSERT_EQ(made.ExitCode, 0) << made.Err;
  }
  EXPECT_EQ(ReadFileBytes(Dir.File("p2.pat")), ReadFileBytes(Dir.File("p1.pat")));
  EXPECT_EQ(ReadFileBytes(Dir.File("p3.pat")), ReadFileBytes(Dir.File("p1.pat")));
  WriteFileBytes(Dir.File("apply/target.bin"), old);
  const TRunResult applied = Apply("", {Dir.File("p1.pat"), "target.bin"});
  ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
  ExpectFile(Dir.File("apply/target.bin"), latest);
}

// Two old trees and a new one: changed, unchanged, renamed, moved, added
// and removed files, a file identical in both old trees and one that only
// the second old tree has.
TEST_F(MakePatchRun, TreeRoundTripsFromEachOldTree) {
  const TBytes big = RandomBytes(50000, 31);
  const std::vector<std::pair<std::string, TBytes>> old1 = {
      {"a.txt", Text("alpha, first version\n")},
      {"same.txt", Text("never changes\n")},
      {"lib/big.bin", big},
      {"docs/readme.md", Text("read me, version one\n")},
      {"gone.txt", Text("removed later\n")},
      {"stable.dat", Text("equal in both old trees\n")},
  };
  const std::vector<std::pair<std::string, TBytes>> old2 = {
      {"a.txt", Text("alpha, second version\n")},
      {"same.txt", Text("never changes\n")},
      {"lib/big.bin", Edited(big, 5)},
      {"docs/readme.md", Text("read me, version two\n")},
      {"stable.dat", Text("equal in both old trees\n")},
      {"late.txt", Text("only in the second old tree\n")},
  };
  const std::vector<std::pair<std::string, TBytes>> newer = {
      {"a.txt", Text("alpha, new version\n")},
      {"same.txt", Text("never changes\n")},
      {"lib/big.bin", Edited(Edited(big, 5), 6)},
      {"manual/readme.md", Text("read me, version three\n")},
      {"stable.dat", Text("changed at last\n")},
      {"late.txt", Text("only in the second old tree, changed\n")},
      {"sub/dir/added.txt", Text("brand new\n")},
  };
  for (const auto& [name, bytes] : old1) WriteFileBytes(Dir.File("old1/" + name), bytes);
  for (const auto& [name, bytes] : old2) WriteFileBytes(Dir.File("old2/" + name), bytes);
  for (const auto& [name, bytes] : newer) {
    WriteFileBytes(Dir.File("new/" + name), bytes);
    SetTime(Dir.File("new/" + name), NewTime);
  }
  const TRunResult made = Make({"p.pat", "old1", "old2", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  EXPECT_NE(made.Err.find("\"gone.txt\""), std::string::npos) << made.Err;
  // The files made by one thread or several: the same bytes.
  for (const std::string jobs : {"1", "2", "3"}) {
    const TRunResult again = Make({"-j", jobs, "p" + jobs + ".pat", "old1", "old2", "new"});
    ASSERT_EQ(again.ExitCode, 0) << again.Err;
    EXPECT_EQ(ReadFileBytes(Dir.File("p" + jobs + ".pat")), ReadFileBytes(Dir.File("p.pat")))
        << "-j " << jobs;
  }
  for (const auto* old : {&old1, &old2}) {
    fs::remove_all(Dir.File("apply"));
    for (const auto& [name, bytes] : *old) WriteFileBytes(Dir.File("apply/tree/" + name), bytes);
    const TRunResult applied = Apply("", {Dir.File("p.pat"), "tree"});
    ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
    for (const auto& [name, bytes] : newer) {
      if (name == "same.txt") continue;  // no entry: its date stays
      ExpectFile(Dir.File("apply/tree/" + name), bytes);
    }
    EXPECT_TRUE(FileExists(Dir.File("apply/tree/Backup/a.txt")));
  }
}

TEST_F(MakePatchRun, SelfApplyingPatchRunsWithoutPatchArgument) {
  const TBytes old = RandomBytes(10000, 41);
  const TBytes latest = Edited(old, 7);
  WriteFileBytes(Dir.File("old.bin"), old);
  WriteFileBytes(Dir.File("new.bin"), latest);
  SetTime(Dir.File("new.bin"), NewTime);
  const TRunResult made =
      Make({"-self", "-mendrix", MENDRIX_BINARY, "update", "old.bin", "new.bin"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  WriteFileBytes(Dir.File("apply/target.bin"), old);
  const TRunResult applied = Apply(Dir.File("update"), {"target.bin"});
  ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
  ExpectFile(Dir.File("apply/target.bin"), latest);
}

TEST_F(MakePatchRun, NoticeAndBackupNameReachTheRun) {
  WriteFileBytes(Dir.File("old/a.txt"), Text("old a\n"));
  WriteFileBytes(Dir.File("new/a.txt"), Text("new a\n"));
  SetTime(Dir.File("new/a.txt"), NewTime);
  WriteFileText(Dir.File("notice.txt"), "Line one\r\nLine two\n#%de\nZeile\n");
  const TRunResult made =
      Make({"-notice", "notice.txt", "-backup", "Saved/old", "p.pat", "old", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  WriteFileBytes(Dir.File("apply/tree/a.txt"), Text("old a\n"));
  const TRunResult applied = Apply("", {Dir.File("p.pat"), "tree"});
  ASSERT_EQ(applied.ExitCode, 0) << applied.Err;
  EXPECT_NE(applied.Err.find("Line one\r\nLine two\r\nPlease press any key"), std::string::npos)
      << applied.Err;
  EXPECT_EQ(applied.Err.find("Zeile"), std::string::npos);
  EXPECT_EQ(ReadFileBytes(Dir.File("apply/tree/Saved/old/a.txt")), Text("old a\n"));
  ExpectFile(Dir.File("apply/tree/a.txt"), Text("new a\n"));
}

TEST_F(MakePatchRun, RefusesWhatItCantMake) {
  WriteFileText(Dir.File("file1"), "one");
  WriteFileText(Dir.File("file1copy"), "one");
  WriteFileText(Dir.File("file2"), "two");
  fs::create_directories(Dir.File("dir1"));
  WriteFileText(Dir.File("dir2/a"), "a");
  fs::create_symlink("dir2", Dir.File("dir2link"));
  // Each part within the system's limit, the whole name over the format's.
  WriteFileText(Dir.File("longname/" + std::string(200, 'n') + "/" + std::string(60, 'm')), "x");
  WriteFileText(Dir.File("shortname/x"), "y");
  struct TCase {
    const char* Name;
    std::vector<std::string> Arguments;
    const char* Message;  // part of what the console channel says
  };
  const TCase cases[] = {
      {"a file and a directory", {"p.pat", "file1", "dir1"}, "all files or all directories"},
      {"an old version that isn't there", {"p.pat", "missing", "file2"}, "can't read \"missing\""},
      {"a name over 255 bytes", {"p.pat", "shortname", "longname"}, "longer than 255 bytes"},
      {"nothing changed", {"p.pat", "file1", "file1copy"}, "nothing to patch"},
      {"the same file as old and new", {"p.pat", "file1", "file1"}, "are the same file"},
      {"the same directory as old and new", {"p.pat", "dir2", "dir2"}, "are the same directory"},
      {"the same directory under another name",
       {"p.pat", "dir1", "dir2link/../dir2link", "./dir2"},
       "are the same directory"},
      {"a notice file that isn't there",
       {"-notice", "none.txt", "p.pat", "file1", "file2"},
       "can't read notice file"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TRunResult made = Make(c.Arguments);
    EXPECT_EQ(made.ExitCode, 1);
    EXPECT_NE(made.Err.find(c.Message), std::string::npos) << made.Err;
    EXPECT_FALSE(FileExists(Dir.File("p.pat")));
  }
}

// Mendrix refuses a backup name that leaves the tree; one of dots and
// spaces it takes but can't use ("." is the tree itself, "..." is ".." on
// Windows), so those are refused as well.
TEST_F(MakePatchRun, RefusesBackupNamesMendrixCantUse) {
  WriteFileText(Dir.File("old/a.txt"), "old a\n");
  WriteFileText(Dir.File("new/a.txt"), "new a\n");
  struct TCase {
    const char* Name;
    bool Accepted;
  };
  const TCase cases[] = {
      {"../up", false}, {"..", false},       {".", false},       {"...", false},    {". .", false},
      {" ", false},     {"a/./b", false},    {"a/...", false},   {"/abs", false},   {"C:x", false},
      {"a//b", false},  {"Saved/old", true}, {"Backup.1", true}, {".hidden", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    fs::remove(Dir.File("p.pat"));
    const TRunResult made = Make({"-backup", c.Name, "p.pat", "old", "new"});
    if (c.Accepted) {
      EXPECT_EQ(made.ExitCode, 0) << made.Err;
    } else {
      EXPECT_EQ(made.ExitCode, 1);
      EXPECT_NE(made.Err.find("backup directory name"), std::string::npos) << made.Err;
      EXPECT_FALSE(FileExists(Dir.File("p.pat")));
    }
  }
}

// Names with a part of only dots and spaces would be read as ".." on
// Windows, so Mendrix refuses them as a damaged patch; the generator makes
// the patch without them, with a warning for each.
TEST_F(MakePatchRun, LeavesOutNamesMendrixRefuses) {
  for (const std::string tree : {"old", "new"}) {
    WriteFileText(Dir.File(tree + "/a.txt"), tree + " a\n");
    WriteFileText(Dir.File(tree + "/sub/b.txt"), tree + " b\n");
    WriteFileText(Dir.File(tree + "/.. "), tree + " dot dot space\n");
    WriteFileText(Dir.File(tree + "/sub/. ."), tree + " dot space dot\n");
  }
  WriteFileText(Dir.File("new/.../x.txt"), "below a refused directory\n");
  WriteFileText(Dir.File("new/sub/..."), "three dots\n");
  const TRunResult made = Make({"p.pat", "old", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  for (const char* name : {R"(".. ")", R"("sub\. .")", R"("...\")", R"("sub\...")"}) {
    EXPECT_NE(made.Err.find(std::string("Warning: ") + name + ": Mendrix refuses"),
              std::string::npos)
        << name << "\n"
        << made.Err;
  }
  // The patch holds what Mendrix takes: it applies, the ordinary files are
  // patched and the others left alone.
  for (const char* name : {"a.txt", "sub/b.txt", ".. ", "sub/. ."}) {
    WriteFileText(Dir.File(std::string("apply/tree/") + name),
                  ReadFileText(Dir.File(std::string("old/") + name)));
  }
  const TRunResult applied = Apply("", {Dir.File("p.pat"), "tree"});
  ASSERT_EQ(applied.ExitCode, 0) << applied.Out << applied.Err;
  EXPECT_EQ(ReadFileText(Dir.File("apply/tree/a.txt")), "new a\n");
  EXPECT_EQ(ReadFileText(Dir.File("apply/tree/sub/b.txt")), "new b\n");
  EXPECT_EQ(ReadFileText(Dir.File("apply/tree/.. ")), "old dot dot space\n");
  EXPECT_FALSE(FileExists(Dir.File("apply/tree/.../x.txt")));
  EXPECT_FALSE(FileExists(Dir.File("apply/tree/sub/...")));
}

TEST(NoticeFromText, LineBreaksBecomeZeroBytes) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::string Notice;
  };
  const TCase cases[] = {
      {"LF", "a\nb\n", std::string("a\0b\0", 4)},
      {"CR LF", "a\r\nb", std::string("a\0b", 3)},
      {"a lone CR stays", "a\rb", "a\rb"},
      {"an empty line", "a\n\nb", std::string("a\0\0b", 4)},
      {"language sections kept", "Hi\n#%de\nHallo", std::string("Hi\0#%de\0Hallo", 13)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(NoticeFromText(c.Text), c.Notice);
  }
}

TEST(DosDateTime, LocalTimeInTwoSecondSteps) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  struct TCase {
    std::time_t Moment;
    std::uint32_t Stamp;
  };
  const TCase cases[] = {
      {1434010151,
       (35u << 9 | 6 << 5 | 11) << 16 | (8u << 11 | 9 << 5 | 5)},  // odd second rounds down
      {315532800, (0u << 9 | 1 << 5 | 1) << 16},                   // 1980-01-01 00:00:00
      {0, (0u << 9 | 1 << 5 | 1) << 16},                           // before 1980
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Moment);
    EXPECT_EQ(DosDateTime(c.Moment), c.Stamp);
  }
}

}  // namespace
}  // namespace mendrix::test
