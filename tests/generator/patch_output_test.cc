// Where mendrix-make writes: never over an input, under any name, nor into
// an input tree; over an existing file only with -f; and never half a patch,
// whatever stops the write.
#include "generator/patch_output.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "robustness/robust_helpers.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;


class PatchOutputRun : public testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(Dir.File("old.bin"), Old);
    WriteFileBytes(Dir.File("new.bin"), New);
    WriteFileText(Dir.File("olddir/a.txt"), "old a\n");
    WriteFileText(Dir.File("newdir/a.txt"), "new a\n");
    WriteFileText(Dir.File("notice.txt"), "Hello\n");
  }
  TRunResult Make(std::vector<std::string> arguments, const TEnvironment& environment = {}) {
    TRunRequest request;
    request.Program = MENDRIX_MAKE_BINARY;
    request.Arguments = std::move(arguments);
    request.WorkDir = Dir.Path();
    request.Environment = environment;
    return RunProgram(request);
  }
  // Every name in the directory (not below it) but the inputs.
  std::vector<std::string> Others() {
    std::vector<std::string> names;
    for (const std::string& name : ListDirectory(Dir.Path())) {
      if (name != "old.bin" && name != "new.bin" && name != "olddir" && name != "newdir" &&
          name != "notice.txt" && name != "ops.log") {
        names.push_back(name);
      }
    }
    return names;
  }

  TTempDir Dir;
  const TBytes Old = RandomBytes(70000, 81);
  const TBytes New = [this] {
    TBytes bytes = Old;
    for (std::size_t i = 100; i < bytes.size(); i += 1000) bytes[i] ^= 0x5A;
    return bytes;
  }();
};

TEST_F(PatchOutputRun, NeverReplacesAnInputEvenWithForce) {
  fs::create_symlink("old.bin", Dir.File("link-to-old"));
  fs::create_hard_link(Dir.File("new.bin"), Dir.File("second-name-of-new"));
  fs::create_symlink("olddir", Dir.File("link-to-olddir"));
  struct TCase {
    const char* Name;
    std::vector<std::string> Arguments;
    const char* Message;
  };
  const TCase cases[] = {
      // The argument order of other delta tools: the patch name is last.
      {"an old version", {"-f", "old.bin", "new.bin", "old.bin"}, "is the input \"old.bin\""},
      {"the new version", {"-f", "new.bin", "old.bin", "new.bin"}, "is the input \"new.bin\""},
      {"with -o", {"-f", "-o", "new.bin", "old.bin", "new.bin"}, "is the input \"new.bin\""},
      {"another spelling", {"-f", "./olddir/../old.bin", "old.bin", "new.bin"}, "is the input"},
      {"an absolute spelling", {"-f", Dir.File("new.bin"), "old.bin", "new.bin"}, "is the input"},
      {"a link to an input", {"-f", "link-to-old", "old.bin", "new.bin"}, "is the input"},
      {"a second name of an input", {"-f", "second-name-of-new", "old.bin", "new.bin"},
       "is the input"},
      {"the notice file", {"-f", "-notice", "notice.txt", "notice.txt", "old.bin", "new.bin"},
       "is the input \"notice.txt\""},
      {"the Mendrix program of --self",
       {"-f", "--self", "--mendrix", "notice.txt", "notice.txt", "old.bin", "new.bin"},
       "is the input \"notice.txt\""},
      {"a file inside an old tree", {"-f", "olddir/a.txt", "olddir", "newdir"},
       "lies inside the input directory \"olddir\""},
      {"a new file inside the new tree", {"-f", "newdir/sub/../p.pat", "olddir", "newdir"},
       "lies inside the input directory \"newdir\""},
      {"inside a tree through a link", {"-f", "link-to-olddir/p.pat", "olddir", "newdir"},
       "lies inside the input directory"},
      {"a directory", {"-f", "olddir", "old.bin", "new.bin"}, "is a directory"},
  };
  fs::create_directories(Dir.File("newdir/sub"));
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const TRunResult made = Make(c.Arguments);
    EXPECT_EQ(made.ExitCode, 1);
    EXPECT_NE(made.Err.find(c.Message), std::string::npos) << made.Err;
    EXPECT_EQ(made.Out, "");
    EXPECT_EQ(ReadFileBytes(Dir.File("old.bin")), Old);
    EXPECT_EQ(ReadFileBytes(Dir.File("new.bin")), New);
    EXPECT_EQ(ReadFileText(Dir.File("notice.txt")), "Hello\n");
    EXPECT_EQ(ListDirectory(Dir.File("olddir")), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(ListDirectory(Dir.File("newdir")), (std::vector<std::string>{"a.txt", "sub"}));
    EXPECT_EQ(ListDirectory(Dir.File("newdir/sub")), std::vector<std::string>{});
  }
}

TEST_F(PatchOutputRun, ReplacesAnExistingFileOnlyWithForce) {
  WriteFileText(Dir.File("p.pat"), "an older patch");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"p.pat", "old.bin", "new.bin"},
        std::vector<std::string>{"old.bin", "new.bin", "--output", "p.pat"}}) {
    const TRunResult refused = Make(arguments);
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_NE(refused.Err.find("Error, \"p.pat\" already exists; give -f to replace it!"),
              std::string::npos)
        << refused.Err;
    EXPECT_EQ(ReadFileText(Dir.File("p.pat")), "an older patch");
  }
  // A dangling link is something there too; -f replaces the link, not what
  // it leads to.
  fs::create_symlink("elsewhere.pat", Dir.File("dangling.pat"));
  EXPECT_EQ(Make({"dangling.pat", "old.bin", "new.bin"}).ExitCode, 1);
  const TRunResult forced = Make({"-f", "dangling.pat", "old.bin", "new.bin"});
  ASSERT_EQ(forced.ExitCode, 0) << forced.Err;
  EXPECT_FALSE(fs::is_symlink(Dir.File("dangling.pat")));
  EXPECT_FALSE(FileExists(Dir.File("elsewhere.pat")));

  const TRunResult replaced = Make({"--force", "p.pat", "old.bin", "new.bin"});
  ASSERT_EQ(replaced.ExitCode, 0) << replaced.Err;
  EXPECT_EQ(ReadFileBytes(Dir.File("p.pat")), ReadFileBytes(Dir.File("dangling.pat")));
  EXPECT_NE(replaced.Out.find("Patch \"p.pat\" written: "), std::string::npos) << replaced.Out;
  // The new patch has the permissions of a new file, not the private ones
  // of its making.
  EXPECT_NE(fs::status(Dir.File("p.pat")).permissions() & fs::perms::group_read, fs::perms::none);
  EXPECT_EQ(Others(), (std::vector<std::string>{"dangling.pat", "p.pat"}));
}

// The patch is written under another name and renamed when complete: a run
// stopped at any file operation leaves either no patch or the whole one (and
// a file that was there before stays whole until the rename). A failed
// operation or an interrupt also removes the partial file; only a kill may
// leave it, beside the patch and under a name of its own.
TEST_F(PatchOutputRun, AStoppedWriteLeavesNoHalfPatch) {
#ifdef MENDRIX_FAULT_SHIM
  // The patch a clean run makes, and the operations it takes.
  const std::string log = Dir.File("ops.log");
  const TRunResult clean =
      Make({"-q", "-o", "clean.pat", "old.bin", "new.bin"}, FaultEnvironment(MENDRIX_FAULT_SHIM, log, {}));
  ASSERT_EQ(clean.ExitCode, 0) << clean.Err;
  const TBytes whole = ReadFileBytes(Dir.File("clean.pat"));
  fs::remove(Dir.File("clean.pat"));
  const std::vector<TCountedOp> ops = ReadOpLog(log);
  ASSERT_FALSE(ops.empty());
  bool renamed = false;
  for (const TCountedOp& op : ops) renamed = renamed || op.Kind == "rename";
  ASSERT_TRUE(renamed) << "the patch was not renamed into place";

  enum class TStop { Fail, Interrupt, Kill };
  for (const bool existing : {false, true}) {
    for (const TStop stop : {TStop::Fail, TStop::Interrupt, TStop::Kill}) {
      for (const TCountedOp& op : ops) {
        SCOPED_TRACE(std::string(existing ? "over an older patch, " : "") +
                     (stop == TStop::Fail ? "failing " : stop == TStop::Interrupt ? "SIGINT before " : "killed before ") +
                     op.Kind + " " + std::to_string(op.Number));
        for (const std::string& name : Others()) fs::remove(Dir.File(name));
        if (existing) WriteFileText(Dir.File("p.pat"), "an older patch");
        TFaultPlan plan;
        plan.At = op.Number;
        plan.Kill = stop == TStop::Kill;
        plan.Signal = stop == TStop::Interrupt ? SIGINT : 0;
        const TRunResult run = Make({"-q", "-f", "-o", "p.pat", "old.bin", "new.bin"},
                                    FaultEnvironment(MENDRIX_FAULT_SHIM, log, plan));
        const bool written = run.ExitCode == 0;
        if (written) {
          EXPECT_EQ(ReadFileBytes(Dir.File("p.pat")), whole);
        } else if (existing) {
          EXPECT_EQ(ReadFileText(Dir.File("p.pat")), "an older patch");
        } else {
          EXPECT_FALSE(FileExists(Dir.File("p.pat")));
        }
        if (stop == TStop::Interrupt && !written) {
          EXPECT_NE(run.Err.find("Interrupted; no patch written."), std::string::npos) << run.Err;
        }
        if (stop == TStop::Fail && op.Kind != "sync") {
          EXPECT_EQ(run.ExitCode, 1) << run.Err;  // every other operation counts
        }
        // What may stand beside it.
        std::vector<std::string> expected;
        if (written || existing) expected.push_back("p.pat");
        std::vector<std::string> others = Others();
        if (stop == TStop::Kill) {
          std::erase_if(others, [](const std::string& name) { return name.starts_with("p.pat.partial"); });
        }
        EXPECT_EQ(others, expected);
        EXPECT_EQ(ReadFileBytes(Dir.File("old.bin")), Old);
        EXPECT_EQ(ReadFileBytes(Dir.File("new.bin")), New);
      }
    }
  }
#else
  GTEST_SKIP() << "needs the fault shim";
#endif
}

TEST_F(PatchOutputRun, ATakenPartialNameIsLeftAlone) {
  WriteFileText(Dir.File("p.pat.partial0"), "someone else's");
  fs::create_symlink("old.bin", Dir.File("p.pat.partial1"));
  const TRunResult made = Make({"-q", "p.pat", "old.bin", "new.bin"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  EXPECT_EQ(ReadFileText(Dir.File("p.pat.partial0")), "someone else's");
  EXPECT_TRUE(fs::is_symlink(Dir.File("p.pat.partial1")));
  EXPECT_EQ(Others(), (std::vector<std::string>{"p.pat", "p.pat.partial0", "p.pat.partial1"}));
}

}  // namespace
}  // namespace mendrix::test
