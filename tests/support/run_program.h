// Runs a whole program (mendrix by default) and captures what it does.
#ifndef MENDRIX_TESTS_SUPPORT_RUN_PROGRAM_H_
#define MENDRIX_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <string>
#include <utility>
#include <vector>

namespace mendrix::test {

// How a standard stream of the program is set up when it starts.
enum class TStream {
  Pipe,        // a pipe: fed with Input, or read into Out and Err
  Closed,      // no descriptor (handle) at all
  ReaderGone,  // a pipe whose other end is closed before the start: writes
               // fail (SIGPIPE on POSIX); as input, an empty pipe
};

struct TRunRequest {
  std::string Program;                  // empty: the mendrix program under test
  std::vector<std::string> Arguments;   // after the program name
  std::string Input;                    // bytes on standard input, then end of input
  std::string WorkDir;                  // empty: the test's own
  // Added to (or replacing in) the test's environment; TZ is UTC unless set.
  std::vector<std::pair<std::string, std::string>> Environment;
  int TimeoutSeconds = 60;
  TStream InputStream = TStream::Pipe;
  TStream OutputStream = TStream::Pipe;
  TStream ErrorStream = TStream::Pipe;
};

struct TRunResult {
  int ExitCode = -1;     // -1 when it did not exit normally
  int Signal = 0;        // the signal that ended it, if any
  bool TimedOut = false;
  std::string Out;       // standard output
  std::string Err;       // standard error
  long MaxResidentKb = 0;  // peak resident memory of the program, where known
};

TRunResult RunProgram(const TRunRequest& request);

// The path of the mendrix program under test.
std::string MendrixPath();

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_SUPPORT_RUN_PROGRAM_H_
