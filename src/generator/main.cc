// mendrix-make: makes patches that Mendrix applies, and shows what a patch
// holds. The command line is read by ParseMakeCommand (make_command.h), which
// also gives the exit codes: 0 done, 1 failed, 2 a bad command line.
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "generator/list_patch.h"
#include "generator/make_command.h"
#include "generator/make_patch.h"
#include "platform/platform.h"
#include "startup/command_line.h"

namespace {

// Writes text line by line, each line ended as the program ends its lines.
void WriteLines(std::string_view text, bool console) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    if (console) {
      mendrix::ConsoleWriteLn(line);
    } else {
      mendrix::OutWriteLn(line);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  mendrix::OsStartup(argc, argv);
  // Split as Mendrix splits its own: by the system on POSIX, by the
  // program's rules from the one text that Windows hands over.
  const std::vector<std::string> arguments = mendrix::ProgramArguments();
  mendrix::TMakeCommand command;
  std::string error;
  if (!mendrix::ParseMakeCommand(arguments, command, error)) {
    WriteLines(error + "\nTry 'mendrix-make --help'.", true);
    mendrix::OsExit(mendrix::ExitUsage);
  }
  switch (command.Action) {
    case mendrix::TMakeAction::Help:
      WriteLines(mendrix::MakeUsageText(), false);
      mendrix::OsExit(mendrix::ExitDone);
    case mendrix::TMakeAction::Version:
      WriteLines(mendrix::MakeVersionText(), false);
      mendrix::OsExit(mendrix::ExitDone);
    case mendrix::TMakeAction::List:
      mendrix::OsExit(mendrix::ListPatch(command.ListPath, command.Json));
    case mendrix::TMakeAction::Make:
      break;
  }
  mendrix::OsExit(mendrix::MakePatch(command.Options));
}
