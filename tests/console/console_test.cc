#include "console/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <string>

namespace mendrix {
namespace {

#ifdef _WIN32
// The C run-time's descriptors 0 to 2 follow the standard handles.
int pipe(int fds[2]) { return _pipe(fds, 65536, _O_BINARY); }
#endif

TEST(DecimalText, SignAndDigits) {
  EXPECT_EQ(DecimalText(0), "0");
  EXPECT_EQ(DecimalText(-7), "-7");
  EXPECT_EQ(DecimalText(190), "190");
  EXPECT_EQ(DecimalText(2147483647), "2147483647");
  EXPECT_EQ(DecimalText(-2147483647 - 1), "-2147483648");
}

// Puts the given bytes (then end of input) on standard input for one scope.
class TPipedInput {
 public:
  explicit TPipedInput(const std::string& bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fds[1]);
    Saved_ = dup(0);
    dup2(fds[0], 0);
    close(fds[0]);
  }
  ~TPipedInput() {
    dup2(Saved_, 0);
    close(Saved_);
  }

 private:
  int Saved_;
};

// Sends standard output to a pipe for one scope and gives back what came.
class TCapturedOutput {
 public:
  TCapturedOutput() {
    EXPECT_EQ(pipe(Fds_), 0);
    Saved_ = dup(1);
    dup2(Fds_[1], 1);
    close(Fds_[1]);
  }
  std::string Finish() {
    dup2(Saved_, 1);
    close(Saved_);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(Fds_[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    close(Fds_[0]);
    return text;
  }

 private:
  int Fds_[2];
  int Saved_;
};

TEST(WaitKey, PipedInputGivesOneKeyPerByteThenZero) {
  TPipedInput input("xY");
  EXPECT_EQ(WaitKey(), 'x');
  EXPECT_EQ(WaitKey(), 'Y');
  EXPECT_EQ(WaitKey(), 0);  // end of input answers at once
  EXPECT_EQ(WaitKey(), 0);
}

TEST(ConfirmCandidate, OnlyLowerCaseYesAccepts) {
  struct TCase {
    std::string Key;
    bool Accepted;
    std::string Echo;
  };
  const TCase cases[] = {
      {"y", true, "y\r\n\r\n"},
      {"Y", false, "Y\r\n\r\n"},
      {"n", false, "n\r\n\r\n"},
      {"", false, std::string("\0\r\n\r\n", 5)},  // end of input: key 0
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Key);
    TPipedInput input(c.Key);
    TCapturedOutput output;
    bool accepted = ConfirmCandidate(".\\a.dat");
    std::string text = output.Finish();
    EXPECT_EQ(accepted, c.Accepted);
    EXPECT_EQ(text, std::string(81, '\b') + ".\\a.dat  Take this? (y/n) " + c.Echo);
  }
}

TEST(FatalStop, MessageThenTwoEmptyLinesAndExitCodeOne) {
  EXPECT_EXIT(FatalStop("Error, patch corrupted!"), testing::ExitedWithCode(1),
              "^Error, patch corrupted!\r\n\r\n\r\n$");
  EXPECT_EXIT(InternalError(50), testing::ExitedWithCode(1),
              "^Internal error occured! \\(code 50\\)!\r\n\r\n\r\n$");
}

TEST(PressAnyKey, PromptAndOkWhetherAKeyCameOrNot) {
  TPipedInput input("");
  EXPECT_EXIT(
      {
        PressAnyKey();
        PressAnyKey();
        std::exit(0);
      },
      testing::ExitedWithCode(0),
      "^Please press any key\\.\\.\\. Ok\\. \r\n\r\nPlease press any key\\.\\.\\. Ok\\. \r\n\r\n$");
}

}  // namespace
}  // namespace mendrix
