// The command line of mendrix-make: what to do and with which options.
//
//   mendrix-make [options] PATCH OLD... NEW
//   mendrix-make [options] -o PATCH OLD... NEW
//   mendrix-make --list [--json] PATCH
//
// Options and paths may be mixed; "--" ends the options, so that every
// argument after it is a path, even one that begins with "-". Options are
// known by a long name ("--backup NAME" or "--backup=NAME"), most also by a
// short one ("-h"), and the options older versions took keep their single-dash
// spellings ("-notice", "-backup", "-mendrix", "-self", "-quiet").
#ifndef MENDRIX_GENERATOR_MAKE_COMMAND_H_
#define MENDRIX_GENERATOR_MAKE_COMMAND_H_

#include <string>
#include <vector>

#include "generator/make_patch.h"

namespace mendrix {

enum class TMakeAction { Make, List, Help, Version };

struct TMakeCommand {
  TMakeAction Action = TMakeAction::Make;
  TMakeOptions Options;  // Make
  std::string ListPath;  // List: the patch to look into
  bool Json = false;     // List: for scripts
};

// Exit codes of mendrix-make.
constexpr int ExitDone = 0;    // a patch written or listed, usage or version shown
constexpr int ExitFailed = 1;  // anything that went wrong while working
constexpr int ExitUsage = 2;   // a command line that can't be understood

// Reads the arguments after the program name. False with error set (one
// line, without the hint to --help) when they can't be understood: an
// unknown option, an option without its value, too few or too many paths,
// options that don't go together.
bool ParseMakeCommand(const std::vector<std::string>& arguments, TMakeCommand& command,
                      std::string& error);

// The text --help prints, lines ended by "\n".
std::string MakeUsageText();
// The text --version prints, lines ended by "\n".
std::string MakeVersionText();

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_MAKE_COMMAND_H_
