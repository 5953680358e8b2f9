// The command line: splitting it into arguments and reading the options.
#ifndef MENDRIX_STARTUP_COMMAND_LINE_H_
#define MENDRIX_STARTUP_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "run/run.h"

namespace mendrix {

// Splits one argument off text from position: blanks and control bytes are
// skipped, a pair of double quotes at the start of an argument is dropped, a
// double quote opens a run taken as it is up to the next quote. Returns the
// argument (empty at the end of text) and advances position past it.
std::string NextArgument(std::string_view text, std::size_t& position);

// The arguments after the program name: as the system split them (POSIX),
// or split by NextArgument from the one text Windows hands over.
std::vector<std::string> ProgramArguments();

// Sets PatchName, AutoScan and SelfPatch when the program file ends in
// PatchMagic.
void DetectSelfPatch(TRunOptions& options);
// Reads the options from arguments (those of ProgramArguments); ends the
// process through ShowUsage where the command line can't be used.
void ParseCommandLine(const std::vector<std::string>& arguments, TRunOptions& options);
// Prints the usage text on standard output and ends with exitCode.
[[noreturn]] void ShowUsage(int exitCode);
// The banner on the console channel.
void ShowBanner();

}  // namespace mendrix

#endif  // MENDRIX_STARTUP_COMMAND_LINE_H_
