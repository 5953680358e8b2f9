// mendrix-make: makes patches that Mendrix applies.
//
//   mendrix-make [options] patchname old... new
//
// Options and paths may be mixed; an argument that begins with "-" is an
// option. Exit code 0 after a patch was written or the usage text was asked
// for, 1 after any error.
#include <string>
#include <vector>

#include "console/console.h"
#include "generator/make_patch.h"
#include "platform/platform.h"
#include "startup/command_line.h"

namespace {

[[noreturn]] void ShowUsage(int code) {
  mendrix::OutWriteLn(
      "Usage: mendrix-make [options] patchname old... new\r\n"
      "\r\n"
      "patchname: patch file to create\r\n"
      "old: one or more older versions, oldest first\r\n"
      "new: the newest version\r\n"
      "Give files for a single-file patch, directories for a directory-tree patch.\r\n");
  mendrix::OutWriteLn(
      "options:\r\n"
      " -h             show this message\r\n"
      " -notice file   show the text of file before patching (its line breaks are kept;\r\n"
      "                \"#%xx\" opens a section in another language)\r\n"
      " -backup name   backup directory of a directory-tree patch (default Backup)\r\n"
      " -self          make a self-applying patch: a copy of Mendrix with the patch\r\n"
      " -mendrix file  the Mendrix program for -self (default: the one beside mendrix-make)\r\n"
      " -quiet         no progress display");
  mendrix::OsExit(code);
}

}  // namespace

int main(int argc, char** argv) {
  mendrix::OsStartup(argc, argv);
  // Split as Mendrix splits its own: by the system on POSIX, by the
  // program's rules from the one text that Windows hands over.
  std::vector<std::string> arguments;
  for (int i = 1; i <= mendrix::ArgumentCount(); ++i) arguments.push_back(mendrix::Argument(i));
  mendrix::TMakeOptions options;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument.empty() || argument[0] != '-') {
      paths.push_back(argument);
      continue;
    }
    const bool takesValue =
        argument == "-notice" || argument == "-backup" || argument == "-mendrix";
    if (takesValue && i + 1 >= arguments.size()) {
      mendrix::ConsoleWriteLn("Option \"" + argument + "\" needs a value.");
      ShowUsage(1);
    }
    if (argument == "-h") {
      ShowUsage(0);
    } else if (argument == "-notice") {
      options.NoticeFile = arguments[++i];
    } else if (argument == "-backup") {
      options.BackupName = arguments[++i];
    } else if (argument == "-mendrix") {
      options.MendrixPath = arguments[++i];
    } else if (argument == "-self") {
      options.SelfApplying = true;
    } else if (argument == "-quiet") {
      options.Quiet = true;
    } else {
      mendrix::ConsoleWriteLn("Illegal option \"" + argument + "\".");
      ShowUsage(1);
    }
  }
  if (paths.size() < 3) {
    if (!paths.empty()) mendrix::ConsoleWriteLn("Too few parameters!");
    ShowUsage(1);
  }
  options.PatchName = paths.front();
  options.NewPath = paths.back();
  options.OldPaths.assign(paths.begin() + 1, paths.end() - 1);
  mendrix::OsExit(mendrix::MakePatch(options));
}
