#include "startup/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

std::vector<std::string> SplitAll(const std::string& text) {
  std::vector<std::string> arguments;
  std::size_t position = 0;
  for (;;) {
    std::string argument = NextArgument(text, position);
    if (argument.empty()) return arguments;
    arguments.push_back(argument);
  }
}

TEST(NextArgument, SplitsByTheWindowsRules) {
  struct TCase {
    const char* Name;
    std::string Text;
    std::vector<std::string> Arguments;
  };
  const TCase cases[] = {
      {"blanks and tabs separate", "prog a\tb  c", {"prog", "a", "b", "c"}},
      {"quoted blank stays", "prog \"my file\" x", {"prog", "my file", "x"}},
      {"quoted run joins its neighbours", "prog ab\"x y\"ef", {"prog", "abx yef"}},
      {"lone pair of quotes is dropped", "prog \"\" b", {"prog", "b"}},
      {"pairs of quotes before an argument are dropped", "prog \"\"\"\"b", {"prog", "b"}},
      {"unclosed quote runs to the end", "prog \"a b", {"prog", "a b"}},
      {"control bytes separate", "prog\x01" "a\x1f" "b", {"prog", "a", "b"}},
      {"high bytes are part of an argument", "prog \x81\xff", {"prog", "\x81\xff"}},
      {"nothing but blanks", "   ", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(SplitAll(c.Text), c.Arguments);
  }
}

TEST(NextArgument, AdvancesPastTheArgument) {
  std::size_t position = 0;
  EXPECT_EQ(NextArgument("ab cd", position), "ab");
  EXPECT_EQ(position, 2u);
  EXPECT_EQ(NextArgument("ab cd", position), "cd");
  EXPECT_EQ(NextArgument("ab cd", position), "");
}

const std::string Banner =
    "Mendrix 2.0a for Windows 95/NT (available for DOS/Windows3.1, Linux and OS/2)\r\n\r\n";
const std::string Usage =
    "Usage: Mendrix [options] patchname [old] [new]\r\n\r\n"
    "patchname: patch you want to apply\r\nold: path to older data\r\n"
    "new: path to create newer data at\r\n\r\n"
    "options:\r\n -h    show this message\r\n -t    testing mode, don't really patch\r\n"
    " -auto scan hardisks for patch targets\r\n"
    "\r\nTip: Leave [new] out to tell Mendrix to modfiy [old] directly and also leave "
    "out[old] to patch the current directory. A patch may work on complete directory\r\n"
    "trees or single files, ask the creator of the patch for information.\r\n";

TEST(CommandLine, UsageAndOptionErrors) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Arguments;
    int ExitCode;
    std::string ErrTail;  // what follows the banner on standard error
  };
  const TCase cases[] = {
      {"no arguments", {}, 1, ""},
      {"-h", {"-h", "-bogus"}, 0, ""},
      {"capital H", {"-H"}, 1, "Illegal option \"-H\".\r\n"},
      {"lone hyphen", {"-"}, 1, "Illegal option \"-\".\r\n"},
      {"unknown option before -h", {"-x", "-h"}, 1, "Illegal option \"-x\".\r\n"},
      {"capital options", {"-AUTO"}, 1, "Illegal option \"-AUTO\".\r\n"},
      {"a fourth positional", {"p", "o", "n", "four"}, 1, "Too many parameters!\r\n"},
      {"empty arguments are dropped", {"", "-h"}, 0, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TRunRequest request;
    request.Arguments = c.Arguments;
    test::TRunResult result = test::RunProgram(request);
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    EXPECT_EQ(result.Out, Usage);
    ASSERT_EQ(result.Err.substr(0, Banner.size()), Banner);
    // Three banner texts, each followed by an empty line, then the error.
    std::size_t end = 0;
    for (int i = 0; i < 3; ++i) end = result.Err.find("\r\n\r\n", end) + 4;
    EXPECT_EQ(result.Err.substr(end), c.ErrTail);
  }
}

TEST(CommandLine, TestModeIsAnnouncedBeforeThePatchIsRead) {
  test::TTempDir dir;
  test::TRunRequest request;
  request.Arguments = {"-t", dir.File("missing.pat")};
  test::TRunResult result = test::RunProgram(request);
  EXPECT_EQ(result.Out.rfind("Testmode enabled, test applying patch only.\r\n\r\n", 0), 0u)
      << result.Out;
}

}  // namespace
}  // namespace mendrix
