// Runs with "-auto" that find their target in the current directory, with
// the answers typed on standard input (the first byte answers the key prompt).
#include <gtest/gtest.h>

#include <string>

#include "e2e/e2e_helpers.h"

namespace mendrix::test {
namespace {

const std::uint32_t ResultStamp = DosStamp(2005, 5, 5, 5, 5, 4);

std::string Question(const std::string& shownAs, char answer) {
  return std::string(81, '\b') + shownAs + "  Take this? (y/n) " + answer + "\r\n\r\n";
}

const std::string Scanning = "Scanning your harddisk(s) for target files...\r\n";
const std::string EraseDot = "\b\b  \b\b";  // the display ".\" taken back

std::string RunLines(const std::string& name) {
  return "Checking patchinfo for \"" + name + "\".\r\n" + "Test Ok. Now applying patch.\r\n" +
         "Patching file \"" + name + "\".\r\n" + "Done.\r\n";
}

// A tree patch: the subdirectory that fits is offered first and refused; the
// current directory comes last and is taken.
TEST(AutoScan, TreePatchRefusedSubdirectoryThenCurrentDirectory) {
  TRunDir dir;
  const TBytes oldText = Bytes("old readme\n");
  const TBytes newText = Bytes("new readme, better\n");
  WriteFileBytes(dir.File("work/readme.txt"), oldText);
  WriteFileBytes(dir.File("work/copy/readme.txt"), oldText);
  dir.WritePatch("p.pat", TreePatch({ChainEntry("readme.txt", {oldText, newText}, ResultStamp)}));

  TRunResult run = dir.Run({"-auto", dir.File("p.pat")}, "kny", dir.File("work"));
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out, Scanning + ".\\" + Question(".\\copy", 'n') +
                         Question("Current directory.", 'y') + EraseDot + RunLines("readme.txt"));
  EXPECT_EQ(ReadFileBytes(dir.File("work/readme.txt")), newText);
  EXPECT_EQ(ReadFileBytes(dir.File("work/Backup/readme.txt")), oldText);
  EXPECT_EQ(ReadFileBytes(dir.File("work/copy/readme.txt")), oldText);
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

// A single-file patch: of two files that fit, the first offered is refused
// and the second taken; files that don't fit are never offered.
TEST(AutoScan, SingleFilePatchRefusedThenAccepted) {
  TRunDir dir;
  const TBytes oldBytes = RandomBytes(700, 11);
  TBytes newBytes = oldBytes;
  newBytes[350] ^= 0x55;
  WriteFileBytes(dir.File("work/one.bin"), oldBytes);
  WriteFileBytes(dir.File("work/two.bin"), oldBytes);
  WriteFileBytes(dir.File("work/other.bin"), RandomBytes(700, 12));
  WriteFileBytes(dir.File("work/sub/three.bin"), oldBytes);  // never searched
  dir.WritePatch("p.pat", SingleFilePatch(ChainEntry("", {oldBytes, newBytes}, ResultStamp)));

  TRunResult run = dir.Run({dir.File("p.pat"), "-auto"}, "kny", dir.File("work"));
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  // The listing order decides which comes first.
  const bool oneFirst = run.Out.find(".\\one.bin") < run.Out.find(".\\two.bin");
  const std::string refused = oneFirst ? "one.bin" : "two.bin";
  const std::string taken = oneFirst ? "two.bin" : "one.bin";
  EXPECT_EQ(run.Out, Scanning + ".\\" + Question(".\\" + refused, 'n') +
                         Question(".\\" + taken, 'y') + EraseDot + RunLines(".\\" + taken));
  EXPECT_EQ(ReadFileBytes(dir.File("work/" + taken)), newBytes);
  EXPECT_EQ(ReadFileBytes(dir.File("work/" + refused)), oldBytes);
  EXPECT_EQ(ReadFileBytes(dir.File("work/sub/three.bin")), oldBytes);
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

// A given old path that fits: no scan at all.
TEST(AutoScan, FittingOldPathIsNotSearched) {
  TRunDir dir;
  const TBytes oldBytes = Bytes("abc old");
  const TBytes newBytes = Bytes("abc new!");
  WriteFileBytes(dir.File("app.bin"), oldBytes);
  dir.WritePatch("p.pat", SingleFilePatch(ChainEntry("", {oldBytes, newBytes}, ResultStamp)));
  TRunResult run = dir.Run({"-auto", "p.pat", "app.bin"});
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out, RunLines("app.bin"));
  EXPECT_EQ(ReadFileBytes(dir.File("app.bin")), newBytes);
}

// A given old path that doesn't fit: the scan starts and the accepted
// candidate replaces the given path.
TEST(AutoScan, UnfittingOldPathIsReplacedByTheCandidate) {
  TRunDir dir;
  const TBytes oldBytes = Bytes("abc old");
  const TBytes newBytes = Bytes("abc new!");
  WriteFileBytes(dir.File("work/app.bin"), oldBytes);
  dir.WritePatch("p.pat", SingleFilePatch(ChainEntry("", {oldBytes, newBytes}, ResultStamp)));
  TRunResult run = dir.Run({"-auto", dir.File("p.pat"), "missing.bin"}, "ky", dir.File("work"));
  EXPECT_EQ(run.ExitCode, 0) << run.Err;
  EXPECT_EQ(run.Out,
            Scanning + ".\\" + Question(".\\app.bin", 'y') + EraseDot + RunLines(".\\app.bin"));
  EXPECT_EQ(ReadFileBytes(dir.File("work/app.bin")), newBytes);
  EXPECT_FALSE(FileExists(dir.File("work/missing.bin")));
}

}  // namespace
}  // namespace mendrix::test
