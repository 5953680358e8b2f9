// The generator's job: from old versions and the new version of a file or a
// directory tree, the patch that brings any of the old versions to the new.
#ifndef MENDRIX_GENERATOR_MAKE_PATCH_H_
#define MENDRIX_GENERATOR_MAKE_PATCH_H_

#include <string>
#include <vector>

namespace mendrix {

struct TMakeOptions {
  std::string PatchName;              // the patch file to write
  std::vector<std::string> OldPaths;  // oldest first
  std::string NewPath;
  std::string NoticeFile;             // empty: no notice
  std::string BackupName = "Backup";
  bool SelfApplying = false;          // a copy of mendrix with the patch appended
  std::string MendrixPath;            // empty: the mendrix beside this program
  bool Quiet = false;                 // no progress display
};

// Turns a notice text file into notice bytes: each line break (LF or CR LF)
// becomes one zero byte; everything else, "#%" language sections included,
// stays as it is.
std::string NoticeFromText(const std::string& text);

// Makes the patch. Errors and warnings go to the console channel, a summary
// to standard output. Returns the exit code: 0, or 1 after an error, with no
// patch file left behind.
int MakePatch(const TMakeOptions& options);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_MAKE_PATCH_H_
