// The command line: splitting it into arguments and reading the options.
#ifndef MENDRIX_STARTUP_COMMAND_LINE_H_
#define MENDRIX_STARTUP_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "patchfile/patch_context.h"

namespace mendrix {

// Splits one argument off text from position: blanks and control bytes are
// skipped, a pair of double quotes at the start of an argument is dropped, a
// double quote opens a run taken as it is up to the next quote. Returns the
// argument (empty at the end of text) and advances position past it.
std::string NextArgument(std::string_view text, std::size_t& position);

// Number of arguments after the program name.
int ArgumentCount();
// Argument index (1 or more), empty when there are fewer; index 0 is the full
// path of the running program file.
std::string Argument(int index);

// Sets PatchName, AutoScan and SelfPatch when the program file ends in
// PatchMagic.
void DetectSelfPatch(TRunOptions& options);
// Reads the options; ends the process through ShowUsage where the command
// line can't be used.
void ParseCommandLine(TRunOptions& options);
// Prints the usage text on standard output and ends with exitCode.
[[noreturn]] void ShowUsage(int exitCode);
// The banner on the console channel.
void ShowBanner();

}  // namespace mendrix

#endif  // MENDRIX_STARTUP_COMMAND_LINE_H_
