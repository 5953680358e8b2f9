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
  std::string NoticeFile;  // empty: no notice
  std::string BackupName = "Backup";
  bool SelfApplying = false;  // a copy of mendrix with the patch appended
  std::string MendrixPath;    // empty: the mendrix beside this program
  bool Force = false;         // an existing patch file may be replaced
  bool Quiet = false;         // no progress display and no summary
  bool Verbose = false;       // a line per file, also when not on a terminal
  // Threads at work, 1 to MaxJobs; 0: as many as there are processors. The
  // files of a tree are made at once, and a single file (or a tree's only
  // changed file) is indexed and planned on them. The patch is the same for
  // any number.
  int Jobs = 0;
};

constexpr int MaxJobs = 64;

// Turns a notice text file into notice bytes: each line break (LF or CR LF)
// becomes one zero byte; everything else, "#%" language sections included,
// stays as it is.
std::string NoticeFromText(const std::string& text);

// Makes the patch. Errors and warnings go to the console channel, a summary
// to standard output. Returns the exit code: 0, or 1 after an error. The
// patch is written to a new file beside PatchName and renamed onto it only
// when complete, so a failed run leaves PatchName as it was; it never
// replaces one of the inputs (old and new versions, notice, Mendrix program)
// nor lands inside an input directory, and replaces an existing file only
// with Force.
int MakePatch(const TMakeOptions& options);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_MAKE_PATCH_H_
