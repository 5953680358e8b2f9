#include "generator/make_command.h"

#include <string_view>

#include "patchfile/patch_format.h"

namespace mendrix {

namespace {

enum class TOption {
  Help,
  Version,
  Verbose,
  Quiet,
  Force,
  List,
  Json,
  Output,
  Notice,
  Backup,
  Self,
  Mendrix,
};

struct TOptionName {
  const char* Spelling;  // with its dashes
  TOption Option;
};

// Every spelling an option is known by; the single-dash words are those of
// earlier versions.
constexpr TOptionName OptionNames[] = {
    {"-h", TOption::Help},          {"--help", TOption::Help},
    {"-V", TOption::Version},       {"--version", TOption::Version},
    {"-v", TOption::Verbose},       {"--verbose", TOption::Verbose},
    {"-q", TOption::Quiet},         {"--quiet", TOption::Quiet},
    {"-quiet", TOption::Quiet},     {"-f", TOption::Force},
    {"--force", TOption::Force},    {"-l", TOption::List},
    {"--list", TOption::List},      {"--json", TOption::Json},
    {"-o", TOption::Output},        {"--output", TOption::Output},
    {"-notice", TOption::Notice},   {"--notice", TOption::Notice},
    {"-backup", TOption::Backup},   {"--backup", TOption::Backup},
    {"-self", TOption::Self},       {"--self", TOption::Self},
    {"-mendrix", TOption::Mendrix}, {"--mendrix", TOption::Mendrix},
};

bool TakesValue(TOption option) {
  return option == TOption::Output || option == TOption::Notice || option == TOption::Backup ||
         option == TOption::Mendrix;
}

// Options that only make sense when a patch is made.
bool MakesOnly(TOption option) {
  return option == TOption::Output || option == TOption::Notice || option == TOption::Backup ||
         option == TOption::Self || option == TOption::Mendrix || option == TOption::Force;
}

bool FindOption(std::string_view spelling, TOption& option) {
  for (const TOptionName& name : OptionNames) {
    if (spelling == name.Spelling) {
      option = name.Option;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ParseMakeCommand(const std::vector<std::string>& arguments, TMakeCommand& command,
                      std::string& error) {
  command = TMakeCommand();
  TMakeOptions& options = command.Options;
  std::vector<std::string> paths;
  bool list = false;
  bool outputGiven = false;
  std::string makeOnly;  // the first option given that only making takes
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.empty() || argument[0] != '-') {
      paths.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    // "--name=value" for the long options that take a value.
    std::string spelling = argument;
    std::string value;
    bool valueAttached = false;
    const std::size_t equals = argument.find('=');
    if (argument.starts_with("--") && equals != std::string::npos) {
      spelling = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      valueAttached = true;
    }
    TOption option;
    if (!FindOption(spelling, option)) {
      error = "Illegal option \"" + argument + "\".";
      return false;
    }
    if (valueAttached && !TakesValue(option)) {
      error = "Option \"" + spelling + "\" takes no value.";
      return false;
    }
    if (TakesValue(option) && !valueAttached) {
      if (i + 1 >= arguments.size()) {
        error = "Option \"" + argument + "\" needs a value.";
        return false;
      }
      value = arguments[++i];
    }
    if (MakesOnly(option) && makeOnly.empty()) makeOnly = spelling;
    switch (option) {
      case TOption::Help:
        command.Action = TMakeAction::Help;
        return true;
      case TOption::Version:
        command.Action = TMakeAction::Version;
        return true;
      case TOption::Verbose:
        options.Verbose = true;
        options.Quiet = false;
        break;
      case TOption::Quiet:
        options.Quiet = true;
        options.Verbose = false;
        break;
      case TOption::Force:
        options.Force = true;
        break;
      case TOption::List:
        list = true;
        break;
      case TOption::Json:
        command.Json = true;
        break;
      case TOption::Output:
        if (outputGiven) {
          error = "Option \"" + spelling + "\" is given twice.";
          return false;
        }
        outputGiven = true;
        options.PatchName = value;
        break;
      case TOption::Notice:
        options.NoticeFile = value;
        break;
      case TOption::Backup:
        options.BackupName = value;
        break;
      case TOption::Self:
        options.SelfApplying = true;
        break;
      case TOption::Mendrix:
        options.MendrixPath = value;
        break;
    }
  }
  if (list) {
    if (!makeOnly.empty()) {
      error = "Option \"" + makeOnly + "\" doesn't go with --list.";
      return false;
    }
    if (paths.size() != 1) {
      error = "--list takes one patch.";
      return false;
    }
    command.Action = TMakeAction::List;
    command.ListPath = paths.front();
    return true;
  }
  if (command.Json) {
    error = "--json goes with --list.";
    return false;
  }
  const std::size_t needed = outputGiven ? 2 : 3;
  if (paths.size() < needed) {
    error = outputGiven ? "Too few parameters: give at least one old version and the new one."
                        : "Too few parameters: give the patch, at least one old version and the new one.";
    return false;
  }
  if (outputGiven && options.PatchName.empty()) {
    error = "The patch name is empty.";
    return false;
  }
  std::size_t first = 0;
  if (!outputGiven) options.PatchName = paths[first++];
  options.NewPath = paths.back();
  options.OldPaths.assign(paths.begin() + static_cast<std::ptrdiff_t>(first), paths.end() - 1);
  command.Action = TMakeAction::Make;
  return true;
}

std::string MakeUsageText() {
  return "Usage: mendrix-make [options] PATCH OLD... NEW\n"
         "       mendrix-make [options] -o PATCH OLD... NEW\n"
         "       mendrix-make --list [--json] PATCH\n"
         "\n"
         "Makes a patch that Mendrix applies: it brings any of the OLD versions to NEW.\n"
         "Give files for a single-file patch, directories for a directory-tree patch;\n"
         "several old versions go oldest first.\n"
         "\n"
         "  -o, --output PATCH   the patch file to write (then every path is an input)\n"
         "  -f, --force          replace an existing patch file (never an input)\n"
         "  -notice, --notice FILE\n"
         "                       text Mendrix shows before patching; its line breaks are\n"
         "                       kept. Mendrix shows the text up to the first \"#%\"\n"
         "                       (a section in another language) and none after it;\n"
         "                       --list shows every section\n"
         "  -backup, --backup NAME\n"
         "                       backup folder of a directory-tree patch, relative to\n"
         "                       the tree (default Backup)\n"
         "  -self, --self        make a self-applying patch: a copy of Mendrix with the\n"
         "                       patch appended\n"
         "  -mendrix, --mendrix FILE\n"
         "                       the Mendrix program for --self (default: the one beside\n"
         "                       mendrix-make)\n"
         "  -l, --list           show what PATCH holds; with --json for scripts\n"
         "  -q, --quiet, -quiet  no progress and no summary; warnings and errors stay\n"
         "  -v, --verbose        a line per file made, also when not on a terminal\n"
         "  -h, --help           show this text\n"
         "  -V, --version        show the version\n"
         "  --                   ends the options: every argument after it is a path\n"
         "\n"
         "The patch is written to a new file beside PATCH and renamed onto it when\n"
         "complete. An existing PATCH is replaced only with -f, and never when it is one\n"
         "of the inputs or lies inside an input directory.\n"
         "\n"
         "Exit codes: 0 done, 1 failed (nothing written), 2 bad command line.\n";
}

std::string MakeVersionText() {
  return "mendrix-make 2.0a (patch format " + std::to_string(PatchFormatVersion) + ")\n";
}

}  // namespace mendrix
