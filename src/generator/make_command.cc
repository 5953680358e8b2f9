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
  Jobs,
};

// What is known of an option: every spelling, dashes included (the
// single-dash words are those of earlier versions), and its flags.
enum TOptionFlag : unsigned {
  TakesValue = 1,  // the next argument, or what follows '=' in a long spelling
  MakesOnly = 2,   // only makes sense when a patch is made
};

struct TOptionInfo {
  TOption Option;
  std::string_view Spellings;  // separated by spaces
  unsigned Flags = 0;

  bool Has(TOptionFlag flag) const { return (Flags & flag) != 0; }
};

constexpr TOptionInfo OptionInfos[] = {
    {TOption::Help, "-h --help"},
    {TOption::Version, "-V --version"},
    {TOption::Verbose, "-v --verbose"},
    {TOption::Quiet, "-q --quiet -quiet"},
    {TOption::Force, "-f --force", MakesOnly},
    {TOption::List, "-l --list"},
    {TOption::Json, "--json"},
    {TOption::Output, "-o --output", TakesValue | MakesOnly},
    {TOption::Notice, "-notice --notice", TakesValue | MakesOnly},
    {TOption::Backup, "-backup --backup", TakesValue | MakesOnly},
    {TOption::Self, "-self --self", MakesOnly},
    {TOption::Mendrix, "-mendrix --mendrix", TakesValue | MakesOnly},
    {TOption::Jobs, "-j --jobs", TakesValue | MakesOnly},
};

// The option spelled so; null when there is none.
const TOptionInfo* FindOption(std::string_view spelling) {
  for (const TOptionInfo& info : OptionInfos) {
    std::string_view rest = info.Spellings;
    while (!rest.empty()) {
      const std::size_t space = rest.find(' ');
      if (rest.substr(0, space) == spelling) return &info;
      rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
  }
  return nullptr;
}

// An option as given on the command line.
struct TGivenOption {
  const TOptionInfo* Info = nullptr;
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
  given.Info = FindOption(given.Spelling);
  if (given.Info == nullptr) {
    error = "Illegal option \"" + argument + "\".";
    return false;
  }
  if (valueAttached && !given.Info->Has(TakesValue)) {
    error = "Option \"" + given.Spelling + "\" takes no value.";
    return false;
  }
  if (given.Info->Has(TakesValue) && !valueAttached) {
    if (i + 1 >= arguments.size()) {
      error = "Option \"" + argument + "\" needs a value.";
      return false;
    }
    given.Value = arguments[++i];
  }
  return true;
}

// The number of -j: 1 to MaxJobs.
bool ReadJobs(const TGivenOption& given, int& jobs, std::string& error) {
  int value = 0;
  for (const char c : given.Value) {
    if (c < '0' || c > '9' || value > MaxJobs) {
      value = 0;
      break;
    }
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > MaxJobs) {
    error = "Option \"" + given.Spelling + "\" takes a number from 1 to " +
            std::to_string(MaxJobs) + ".";
    return false;
  }
  jobs = value;
  return true;
}

bool ApplyOption(const TGivenOption& given, TParse& parse, std::string& error) {
  TMakeCommand& command = parse.Command;
  TMakeOptions& options = command.Options;
  switch (given.Info->Option) {
    case TOption::Help:
      command.Action = TMakeAction::Help;
      break;
    case TOption::Version:
      command.Action = TMakeAction::Version;
      break;
    case TOption::Verbose:
    case TOption::Quiet:
      // The later of the two wins.
      options.Verbose = given.Info->Option == TOption::Verbose;
      options.Quiet = !options.Verbose;
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
    case TOption::Jobs:
      return ReadJobs(given, options.Jobs, error);
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
    if (given.Info->Has(MakesOnly) && parse.MakeOnly.empty()) parse.MakeOnly = given.Spelling;
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
         "  -j, --jobs N         work on N threads: N files of a tree at once, a large\n"
         "                       file on all N (default: the number of processors); the\n"
         "                       patch is the same for any N\n"
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
