// The command line of mendrix-make: which argument is the patch, which are
// inputs, what each spelling of an option means, and what is refused as a
// usage error (exit code 2 with a hint) before any file is touched.
#include "generator/make_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

// The parts of a command a case looks at, as one line of text.
std::string Describe(const TMakeCommand& command) {
  const TMakeOptions& o = command.Options;
  switch (command.Action) {
    case TMakeAction::Help:
      return "help";
    case TMakeAction::Version:
      return "version";
    case TMakeAction::List:
      return std::string("list ") + command.ListPath + (command.Json ? " json" : "");
    case TMakeAction::Make:
      break;
  }
  std::string text = "make " + o.PatchName + " <";
  for (const std::string& old : o.OldPaths) text += " " + old;
  text += " > " + o.NewPath;
  if (!o.NoticeFile.empty()) text += " notice=" + o.NoticeFile;
  if (o.BackupName != "Backup") text += " backup=" + o.BackupName;
  if (o.SelfApplying) text += " self";
  if (!o.MendrixPath.empty()) text += " mendrix=" + o.MendrixPath;
  if (o.Force) text += " force";
  if (o.Quiet) text += " quiet";
  if (o.Verbose) text += " verbose";
  if (o.Jobs != 0) text += " jobs=" + std::to_string(o.Jobs);
  return text;
}

TEST(ParseMakeCommand, ReadsPathsAndEverySpellingOfTheOptions) {
  struct TCase {
    std::vector<std::string> Arguments;
    std::string Expected;  // Describe() of the command, or "error: <part of the message>"
  };
  const TCase cases[] = {
      // Today's form: the patch first, then old versions oldest first, the new last.
      {{"p.pat", "old", "new"}, "make p.pat < old > new"},
      {{"p.pat", "v1", "v2", "v3", "new"}, "make p.pat < v1 v2 v3 > new"},
      // With -o every path is an input, wherever -o stands.
      {{"-o", "p.pat", "old", "new"}, "make p.pat < old > new"},
      {{"old", "new", "--output", "p.pat"}, "make p.pat < old > new"},
      {{"--output=p.pat", "v1", "v2", "new"}, "make p.pat < v1 v2 > new"},
      // Old single-dash spellings and the long ones mean the same.
      {{"-notice", "n.txt", "-backup", "B", "-self", "-mendrix", "m", "-quiet", "p", "o", "n"},
       "make p < o > n notice=n.txt backup=B self mendrix=m quiet"},
      {{"--notice", "n.txt", "--backup=B", "--self", "--mendrix=m", "--quiet", "p", "o", "n"},
       "make p < o > n notice=n.txt backup=B self mendrix=m quiet"},
      {{"-f", "-q", "p", "o", "n"}, "make p < o > n force quiet"},
      {{"--force", "-v", "p", "o", "n"}, "make p < o > n force verbose"},
      {{"-j", "3", "p", "o", "n"}, "make p < o > n jobs=3"},
      {{"p", "--jobs=64", "o", "n"}, "make p < o > n jobs=64"},
      // The last of -q and -v counts.
      {{"-v", "-q", "p", "o", "n"}, "make p < o > n quiet"},
      {{"-q", "--verbose", "p", "o", "n"}, "make p < o > n verbose"},
      // "--" ends the options: paths may then begin with "-".
      {{"--", "-p.pat", "-old", "-new"}, "make -p.pat < -old > -new"},
      {{"-f", "--", "p", "--", "-n"}, "make p < -- > -n force"},
      // A value may begin with a dash.
      {{"-backup", "-odd", "p", "o", "n"}, "make p < o > n backup=-odd"},
      // Help and version win over what follows, even a bad option.
      {{"-h"}, "help"},
      {{"p", "o", "--help", "-x"}, "help"},
      {{"--version"}, "version"},
      {{"-V", "p"}, "version"},
      {{"--list", "p.pat"}, "list p.pat"},
      {{"p.pat", "-l", "--json"}, "list p.pat json"},
      {{"-q", "-l", "--", "-p.pat"}, "list -p.pat"},
      // Usage errors.
      {{}, "error: Too few parameters"},
      {{"p.pat", "new"}, "error: Too few parameters"},
      {{"-o", "p.pat", "new"}, "error: Too few parameters"},
      {{"-x", "p", "o", "n"}, "error: Illegal option \"-x\"."},
      {{"-", "p", "o", "n"}, "error: Illegal option \"-\"."},
      {{"--self=yes", "p", "o", "n"}, "error: takes no value"},
      {{"--backupx", "p", "o", "n"}, "error: Illegal option \"--backupx\"."},
      {{"-fq", "p", "o", "n"}, "error: Illegal option \"-fq\"."},
      {{"p", "o", "n", "-backup"}, "error: Option \"-backup\" needs a value."},
      {{"-o", "a", "-o", "b", "o", "n"}, "error: given twice"},
      {{"-j", "0", "p", "o", "n"}, "error: Option \"-j\" takes a number from 1 to 64."},
      {{"--jobs=65", "p", "o", "n"}, "error: takes a number from 1 to 64"},
      {{"-j", "2x", "p", "o", "n"}, "error: takes a number from 1 to 64"},
      {{"-j", "99999999999", "p", "o", "n"}, "error: takes a number from 1 to 64"},
      {{"--list", "-j", "2", "p"}, "error: \"-j\" doesn't go with --list"},
      {{"--json", "p", "o", "n"}, "error: --json goes with --list"},
      {{"--list"}, "error: --list takes one patch"},
      {{"--list", "a", "b"}, "error: --list takes one patch"},
      {{"--list", "-f", "p"}, "error: \"-f\" doesn't go with --list"},
      {{"-o", "p", "--list", "q"}, "error: \"-o\" doesn't go with --list"},
  };
  for (const TCase& c : cases) {
    std::string joined;
    for (const std::string& a : c.Arguments) joined += "[" + a + "]";
    SCOPED_TRACE(joined);
    TMakeCommand command;
    std::string error;
    const bool parsed = ParseMakeCommand(c.Arguments, command, error);
    if (c.Expected.starts_with("error: ")) {
      EXPECT_FALSE(parsed) << Describe(command);
      EXPECT_NE(error.find(c.Expected.substr(7)), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << "one line: " << error;
    } else {
      ASSERT_TRUE(parsed) << error;
      EXPECT_EQ(Describe(command), c.Expected);
    }
  }
}

// The whole program: where each kind of answer goes and its exit code.
TEST(MendrixMakeProgram, HelpVersionAndUsageErrorsKeepTheirStreamsAndCodes) {
  TTempDir dir;
  WriteFileText(dir.File("old"), "old");
  WriteFileText(dir.File("new"), "new");
  struct TCase {
    std::vector<std::string> Arguments;
    int ExitCode;
    const char* Out;  // part of standard output ("" : nothing)
    const char* Err;  // part of standard error ("" : nothing)
  };
  const TCase cases[] = {
      {{"--help"}, 0, "Usage: mendrix-make [options] PATCH OLD... NEW", ""},
      {{"-h"}, 0, "Exit codes: 0 done, 1 failed (nothing written), 2 bad command line.", ""},
      {{"--version"}, 0, "mendrix-make 2.0a (patch format 190)", ""},
      {{"-V"}, 0, "mendrix-make ", ""},
      {{}, 2, "", "Too few parameters"},
      {{"-x", "p.pat", "old", "new"}, 2, "", "Illegal option \"-x\".\r\nTry 'mendrix-make --help'."},
      {{"p.pat", "old", "new", "-notice"}, 2, "", "Try 'mendrix-make --help'."},
      {{"--list", "a", "b"}, 2, "", "Try 'mendrix-make --help'."},
      // Not a usage error: the command is understood, the work fails.
      {{"p.pat", "missing", "new"}, 1, "", "Error, can't read \"missing\"!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Arguments.empty() ? "(none)" : c.Arguments.front());
    TRunRequest request;
    request.Program = MENDRIX_MAKE_BINARY;
    request.Arguments = c.Arguments;
    request.WorkDir = dir.Path();
    const TRunResult run = RunProgram(request);
    EXPECT_EQ(run.ExitCode, c.ExitCode) << run.Err;
    if (*c.Out == '\0') {
      EXPECT_EQ(run.Out, "");
    } else {
      EXPECT_NE(run.Out.find(c.Out), std::string::npos) << run.Out;
    }
    if (*c.Err == '\0') {
      EXPECT_EQ(run.Err, "");
    } else {
      EXPECT_NE(run.Err.find(c.Err), std::string::npos) << run.Err;
    }
    EXPECT_FALSE(FileExists(dir.File("p.pat")));
  }
}

}  // namespace
}  // namespace mendrix::test
