// Whole runs of patches whose names would lead out of the directories given
// on the command line: the run stops before any file is written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/patch_builder.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

TWriterEntry Embedded(const std::string& name) {
  TWriterEntry entry;
  entry.Type = EmbeddedEntryType;
  entry.Name = name;
  entry.EmbeddedTime = 0x255A74E1;
  entry.Content = {'o', 'w', 'n', 'e', 'd'};
  return entry;
}

TWriterEntry FileEntry(const std::string& name, const std::string& variantName) {
  TWriterEntry entry;
  entry.Name = name;
  TWriterVariant variant;
  variant.Name = variantName;
  entry.Variants = {variant};
  return entry;
}

// Backslashes for the patch's own separator.
std::string PatchPath(std::string path) {
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

TEST(ContainedNames, EscapingNamesStopTheRunBeforeAnythingIsWritten) {
  const std::string corrupted = "Error, patch corrupted!\r\n\r\n\r\n";
  struct TCase {
    const char* Name;
    std::string BackupName;
    std::vector<TWriterEntry> Entries;  // {dir} in a name: the scratch directory
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {"embedded file above the new directory", "Backup", {Embedded("..\\written.txt")}, corrupted},
      {"embedded file by absolute path", "Backup", {Embedded("{dir}\\written.txt")}, corrupted},
      {"embedded file on a drive", "Backup", {Embedded("C:written.txt")}, corrupted},
      {"good embedded file ahead of an escaping entry",
       "Backup",
       {Embedded("written.txt"), FileEntry("..\\old\\a.dat", "")},
       corrupted},
      {"good embedded file ahead of an escaping variant",
       "Backup",
       {Embedded("written.txt"), FileEntry("a.dat", "..\\..\\a.dat")},
       corrupted},
      {"good embedded file ahead of an unnamed embedded file",
       "Backup",
       {Embedded("written.txt"), Embedded("")},
       corrupted},
      {"backup directory above the new directory",
       "..\\Backup",
       {Embedded("written.txt")},
       "\r\nError, \"p.pat\" is no patchfile.\r\n\r\n\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TTempDir dir;
    test::WriteFileText(dir.File("old/a.dat"), "old contents");
    TWriterPatch patch;
    patch.PatchKind = TreePatchKind;
    patch.BackupName = c.BackupName;
    patch.Entries = c.Entries;
    for (TWriterEntry& entry : patch.Entries) {
      const std::size_t at = entry.Name.find("{dir}");
      if (at != std::string::npos) entry.Name.replace(at, 5, PatchPath(dir.Path()));
    }
    test::WriteFileBytes(dir.File("p.pat"), test::BuildPatch(patch));
    const std::vector<std::string> before = test::ListDirectory(dir.Path());

    test::TRunRequest request;
    request.Arguments = {"p.pat", "old"};
    request.WorkDir = dir.Path();
    const test::TRunResult result = test::RunProgram(request);
    EXPECT_EQ(result.ExitCode, 1);
    ASSERT_GE(result.Err.size(), c.Message.size());
    EXPECT_EQ(result.Err.substr(result.Err.size() - c.Message.size()), c.Message);
    EXPECT_EQ(test::ListDirectory(dir.Path()), before);
    EXPECT_EQ(test::ListDirectory(dir.File("old")), std::vector<std::string>{"a.dat"});
    EXPECT_EQ(test::ReadFileText(dir.File("old/a.dat")), "old contents");
  }
}

}  // namespace
}  // namespace mendrix
