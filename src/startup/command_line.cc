#include "startup/command_line.h"

#include <cstdint>
#include <vector>

#include "console/console.h"
#include "fileio/fileio.h"
#include "patchfile/byte_order.h"
#include "patchfile/patch_format.h"
#include "platform/platform.h"

namespace mendrix {

namespace {

constexpr std::string_view BannerTitle =
    "Mendrix 2.0a for Windows 95/NT (available for DOS/Windows3.1, Linux and OS/2)\r\n";
constexpr std::string_view BannerMaker =
    "Written by the Mendrix developers; free to use, comes with no warranty.\r\n";
constexpr std::string_view BannerContact =
    "Questions and reports: The Mendrix developers\r\n"
    "                       https://www.mendrix.org\r\n"
    "                       support@mendrix.org\r\n";

constexpr std::string_view UsageText =
    "Usage: Mendrix [options] patchname [old] [new]\r\n\r\n"
    "patchname: patch you want to apply\r\n"
    "old: path to older data\r\n"
    "new: path to create newer data at\r\n";
constexpr std::string_view UsageOptions =
    "options:\r\n"
    " -h    show this message\r\n"
    " -t    testing mode, don't really patch\r\n"
    " -auto scan hardisks for patch targets";
constexpr std::string_view UsageTip =
    "\r\nTip: Leave [new] out to tell Mendrix to modfiy [old] directly and also leave out[old] "
    "to patch the current directory. A patch may work on complete directory\r\n"
    "trees or single files, ask the creator of the patch for information.";

}  // namespace

std::string NextArgument(std::string_view text, std::size_t& position) {
  auto at = [&](std::size_t i) -> std::uint8_t {
    return i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
  };
  for (;;) {
    while (at(position) >= 0x01 && at(position) <= 0x20) ++position;
    if (at(position) == '"' && at(position + 1) == '"') {
      position += 2;  // an empty quoted argument never yields an argument
      continue;
    }
    break;
  }
  std::string argument;
  while (at(position) > 0x20) {
    if (at(position) == '"') {
      ++position;
      while (at(position) != 0 && at(position) != '"') argument += text[position++];
      if (at(position) == '"') ++position;
    } else {
      argument += text[position++];
    }
  }
  return argument;
}

std::vector<std::string> ProgramArguments() {
  std::string text;
  if (!OsCommandLineText(text)) return OsSplitArguments();
  std::vector<std::string> split;
  std::size_t position = 0;
  (void)NextArgument(text, position);  // the program name as typed
  for (;;) {
    std::string argument = NextArgument(text, position);
    if (argument.empty()) break;
    split.push_back(std::move(argument));
  }
  return split;
}

void DetectSelfPatch(TRunOptions& options) {
  options.SelfPatch = false;
  TDiskFile program;
  const std::string path = OsProgramPath();
  OpenForReading(program, path);
  if (TakeIoStatus() != 0) return;
  std::uint8_t tail[4] = {};
  SeekTo(program, GetSize(program) - 4);
  bool read = ReadBlock(program, tail, 4);
  if (read && LoadU32Le(tail) == PatchMagic) {
    options.PatchName = path;
    options.AutoScan = true;
    options.SelfPatch = true;
  }
  CloseDiskFile(program);
  (void)TakeIoStatus();
}

void ParseCommandLine(const std::vector<std::string>& arguments, TRunOptions& options) {
  options.TestMode = false;
  options.OldPath = ".";
  options.NewPath = ".";
  int slot = options.SelfPatch ? 1 : 0;
  for (const std::string& argument : arguments) {
    if (argument[0] == '-') {
      if (argument == "-h") {
        ShowUsage(0);
      } else if (argument == "-t") {
        options.TestMode = true;
      } else if (argument == "-auto") {
        options.AutoScan = true;
      } else {
        ConsoleWriteLn("Illegal option \"" + argument + "\".");
        ShowUsage(1);
      }
      continue;
    }
    switch (slot) {
      case 0:
        options.PatchName = argument;
        break;
      case 1:
        options.OldPath = argument;
        options.NewPath = argument;
        break;
      case 2:
        options.NewPath = argument;
        break;
      default:
        ConsoleWriteLn("Too many parameters!");
        ShowUsage(1);
    }
    ++slot;
  }
}

void ShowUsage(int exitCode) {
  OutWriteLn(UsageText);
  OutWriteLn(UsageOptions);
  OutWriteLn(UsageTip);
  OsExit(exitCode);
}

void ShowBanner() {
  ConsoleWriteLn(BannerTitle);
  ConsoleWriteLn(BannerMaker);
  ConsoleWriteLn(BannerContact);
}

}  // namespace mendrix
