// Runs a whole program (mendrix by default) and captures what it does.
#ifndef MENDRIX_TESTS_SUPPORT_RUN_PROGRAM_H_
#define MENDRIX_TESTS_SUPPORT_RUN_PROGRAM_H_

#include <string>
#include <utility>
#include <vector>

namespace mendrix::test {

struct TRunRequest {
  std::string Program;                  // empty: the mendrix program under test
  std::vector<std::string> Arguments;   // after the program name
  std::string Input;                    // bytes on standard input, then end of input
  std::string WorkDir;                  // empty: the test's own
  // Added to (or replacing in) the test's environment; TZ is UTC unless set.
  std::vector<std::pair<std::string, std::string>> Environment;
  int TimeoutSeconds = 60;
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
