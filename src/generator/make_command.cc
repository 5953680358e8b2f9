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

// An option as given on the command line.
struct TGivenOption {
  TOption Option = TOption::Help;
  std::string Spelling;  // without a value attached
  std::string Value;     // of an option that takes one
};

// What the arguments read so far make.
struct TParse {
  explicit TParse(TMakeCommand& command) : Command(command) {}

  TMakeCommand& Command;
  std::vector<std::string> Paths;
  bool List = false;
  bool OutputGiven = false;
  std::string MakeOnly;  // the first option given that only making takes
};

// The option at arguments[i], with its value: attached ("--name=value", for
// the long options that take one) or the next argument, which i then moves
// to.
bool ReadOption(const std::vector<std::string>& arguments, std::size_t& i, TGivenOption& given,
                std::string& error) {
  const std::string& argument = arguments[i];
  given.Spelling = argument;
  bool valueAttached = false;
  const std::size_t equals = argument.find('=');
  if (argument.starts_with("--") && equals != std::string::npos) {
    given.Spelling = argument.substr(0, equals);
    given.Value = argument.substr(equals + 1);
    valueAttached = true;
  }
  if (!FindOption(given.Spelling, given.Option)) {
    error = "Illegal option \"" + argument + "\".";
    return false;
  }
  if (valueAttached && !TakesValue(given.Option)) {
    error = "Option \"" + given.Spelling + "\" takes no value.";
    return false;
  }
  if (TakesValue(given.Option) && !valueAttached) {
    if (i + 1 >= arguments.size()) {
      error = "Option \"" + argument + "\" needs a value.";
      return false;
    }
    given.Value = arguments[++i];
  }
  return true;
}

bool ApplyOption(const TGivenOption& given, TParse& parse, std::string& error) {
  TMakeCommand& command = parse.Command;
  TMakeOptions& options = command.Options;
  switch (given.Option) {
    case TOption::Help:
      command.Action = TMakeAction::Help;
      break;
    case TOption::Version:
      command.Action = TMakeAction::Version;
      break;
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
      parse.List = true;
      break;
    case TOption::Json:
      command.Json = true;
      break;
    case TOption::Output:
      if (parse.OutputGiven) {
        error = "Option \"" + given.Spelling + "\" is given twice.";
        return false;
      }
      parse.OutputGiven = true;
      options.PatchName = given.Value;
      break;
    case TOption::Notice:
      options.NoticeFile = given.Value;
      break;
    case TOption::Backup:
      options.BackupName = given.Value;
      break;
    case TOption::Self:
      options.SelfApplying = true;
      break;
    case TOption::Mendrix:
      options.MendrixPath = given.Value;
      break;
  }
  return true;
}

bool FinishList(const TParse& parse, std::string& error) {
  if (!parse.MakeOnly.empty()) {
    error = "Option \"" + parse.MakeOnly + "\" doesn't go with --list.";
    return false;
  }
  if (parse.Paths.size() != 1) {
    error = "--list takes one patch.";
    return false;
  }
  parse.Command.Action = TMakeAction::List;
  parse.Command.ListPath = parse.Paths.front();
  return true;
}

bool FinishMake(const TParse& parse, std::string& error) {
  TMakeOptions& options = parse.Command.Options;
  if (parse.Command.Json) {
    error = "--json goes with --list.";
    return false;
  }
  const std::size_t needed = parse.OutputGiven ? 2 : 3;
  if (parse.Paths.size() < needed) {
    error = parse.OutputGiven
                ? "Too few parameters: give at least one old version and the new one."
                : "Too few parameters: give the patch, at least one old version and the new one.";
    return false;
  }
  if (parse.OutputGiven && options.PatchName.empty()) {
    error = "The patch name is empty.";
    return false;
  }
  std::size_t first = 0;
  if (!parse.OutputGiven) options.PatchName = parse.Paths[first++];
  options.NewPath = parse.Paths.back();
  options.OldPaths.assign(parse.Paths.begin() + static_cast<std::ptrdiff_t>(first),
                          parse.Paths.end() - 1);
  parse.Command.Action = TMakeAction::Make;
  return true;
}

}  // namespace

bool ParseMakeCommand(const std::vector<std::string>& arguments, TMakeCommand& command,
                      std::string& error) {
  command = TMakeCommand();
  TParse parse{command};
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.empty() || argument[0] != '-') {
      parse.Paths.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    TGivenOption given;
    if (!ReadOption(arguments, i, given, error)) return false;
    if (MakesOnly(given.Option) && parse.MakeOnly.empty()) parse.MakeOnly = given.Spelling;
    if (!ApplyOption(given, parse, error)) return false;
    // Help and version need nothing more.
    if (command.Action != TMakeAction::Make) return true;
  }
  return parse.List ? FinishList(parse, error) : FinishMake(parse, error);
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
