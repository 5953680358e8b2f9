// The progress display of mendrix-make: on a terminal one status line,
// redrawn in place, whose share never goes back and which counts the files
// of a tree; anywhere else nothing but the summary (and, with -v, a line per
// file), so that logs of release scripts stay clean.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

using TBytes = std::vector<std::uint8_t>;

struct TTerminalRun {
  int ExitCode = -1;
  std::string Output;  // standard output and standard error, as the terminal got them
};

// Runs mendrix-make in dir with both outputs on a new terminal whose output
// is raw (no line-end translation).
TTerminalRun RunOnTerminal(const std::string& dir, const std::vector<std::string>& arguments) {
  TTerminalRun result;
  struct termios mode {};
  cfmakeraw(&mode);
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, &mode, nullptr);
  if (child < 0) return result;
  if (child == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    setenv("TZ", "UTC", 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(MENDRIX_MAKE_BINARY));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(MENDRIX_MAKE_BINARY, argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(300);
  for (;;) {
    struct pollfd ready = {master, POLLIN, 0};
    if (poll(&ready, 1, 1000) < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      break;
    }
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n > 0) {
      result.Output.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      break;  // EIO: the child has gone and closed its side
    }
  }
  close(master);
  int status = 0;
  if (waitpid(child, &status, 0) == child && WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  return result;
}

// Files large enough that making their patch takes well over the second
// before which nothing is shown.
class ProgressRun : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Dir = new TTempDir;
    // Two old versions of each: every file is indexed twice.
    for (std::uint32_t file = 0; file < 2; ++file) {
      TBytes bytes = RandomBytes(10 << 20, 91 + file);
      const std::string name = "/f" + std::to_string(file) + ".bin";
      std::size_t edit = 5000;
      for (const char* version : {"old1", "old2", "new"}) {
        WriteFileBytes(Dir->File(version) + name, bytes);
        for (std::size_t i = edit++; i < bytes.size(); i += 1 << 20) bytes[i] ^= 0x33;
      }
    }
  }
  static void TearDownTestSuite() {
    delete Dir;
    Dir = nullptr;
  }
  static TTempDir* Dir;
};

TTempDir* ProgressRun::Dir = nullptr;

TEST_F(ProgressRun, OneStatusLineOnATerminalThatNeverGoesBack) {
  std::remove(Dir->File("t.pat").c_str());
  const TTerminalRun run = RunOnTerminal(Dir->Path(), {"t.pat", "old1", "old2", "new"});
  ASSERT_EQ(run.ExitCode, 0) << run.Output;
  // The status line is drawn with "\r" only; the summary comes after it, on
  // a line of its own once the status line is erased.
  const std::size_t summary = run.Output.find("Patch \"t.pat\" written: ");
  ASSERT_NE(summary, std::string::npos) << run.Output;
  const std::string status = run.Output.substr(0, summary);
  EXPECT_EQ(status.find('\n'), std::string::npos) << status;
  ASSERT_FALSE(status.empty()) << "nothing shown during a run of more than a second";
  EXPECT_EQ(status.back(), '\r') << "the line is erased before the summary";
  std::vector<int> shares;
  std::size_t start = 0;
  while (start < status.size()) {
    std::size_t end = status.find('\r', start);
    if (end == std::string::npos) end = status.size();
    const std::string line = status.substr(start, end - start);
    start = end + 1;
    if (line.find_first_not_of(' ') == std::string::npos) continue;  // an erase
    SCOPED_TRACE(line);
    EXPECT_LE(line.find_last_not_of(' ') + 1, 79u);
    ASSERT_TRUE(line.starts_with("mendrix-make: "));
    shares.push_back(std::atoi(line.c_str() + 14));
    EXPECT_NE(line.find(" of 2 files"), std::string::npos);
  }
  ASSERT_FALSE(shares.empty());
  for (std::size_t i = 1; i < shares.size(); ++i) {
    EXPECT_LE(shares[i - 1], shares[i]) << "draw " << i;
  }
  EXPECT_LE(shares.back(), 100);
}

TEST_F(ProgressRun, NothingButTheSummaryWhenNotOnATerminal) {
  std::remove(Dir->File("p.pat").c_str());
  TRunRequest request;
  request.Program = MENDRIX_MAKE_BINARY;
  request.Arguments = {"p.pat", "old1", "old2", "new"};
  request.WorkDir = Dir->Path();
  const TRunResult quietRun = RunProgram(request);
  ASSERT_EQ(quietRun.ExitCode, 0) << quietRun.Err;
  EXPECT_EQ(quietRun.Err, "");
  EXPECT_TRUE(quietRun.Out.starts_with("Patch \"p.pat\" written: ")) << quietRun.Out;
  EXPECT_EQ(quietRun.Out.find('\r'), quietRun.Out.size() - 2) << "one line";

  // -v: a line per file; -q: not even the summary. Small trees do here.
  TTempDir small;
  WriteFileText(small.File("old/a.txt"), "old a\n");
  WriteFileText(small.File("new/a.txt"), "new a\n");
  WriteFileText(small.File("new/sub/b.txt"), "added\n");
  request.WorkDir = small.Path();
  request.Arguments = {"-v", "p.pat", "old", "new"};
  const TRunResult verbose = RunProgram(request);
  ASSERT_EQ(verbose.ExitCode, 0) << verbose.Err;
  EXPECT_EQ(verbose.Err, "");
  const std::size_t first = verbose.Out.find("\r\n");
  ASSERT_NE(first, std::string::npos) << verbose.Out;
  const std::string line = verbose.Out.substr(0, first);
  EXPECT_TRUE(line.starts_with("\"a.txt\": 1 variant, ") && line.ends_with(" bytes of delta."))
      << line;
  EXPECT_TRUE(verbose.Out.substr(first + 2).starts_with(
      "\"sub\\b.txt\": embedded, 6 bytes.\r\nPatch \"p.pat\" written: "))
      << verbose.Out;
  request.Arguments = {"-q", "-f", "p.pat", "old", "new"};
  const TRunResult quiet = RunProgram(request);
  ASSERT_EQ(quiet.ExitCode, 0) << quiet.Err;
  EXPECT_EQ(quiet.Out, "");
  EXPECT_EQ(quiet.Err, "");
}

}  // namespace
}  // namespace mendrix::test
