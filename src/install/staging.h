// Staging and commit: how a run puts its results in place, all or nothing.
//
// The pass that tests the patch also looks, for every entry, whether its
// result can be put in place (the target a regular file or absent, every
// directory on the way from NewPath a real directory or creatable, the backup
// slot free or holding an earlier interrupted run's link to the target), and
// writes each result once, straight into a staged file beside its target
// (target.DWX<n>): private until complete, then dated and given the owner
// and permissions of the file it replaces. Nothing of the user's has changed
// until then.
//
// The commit makes the staged files durable in one batch and then walks the
// entries in patch order: a tree patch gives the old file a second name in
// the backup folder (a hard link; a rename where the file system has none),
// and the staged file is renamed onto the target in one step. A failure in
// the commit puts back every entry this run had committed and removes what
// it staged; interrupts wait until the commit or that rollback is done.
#ifndef MENDRIX_INSTALL_STAGING_H_
#define MENDRIX_INSTALL_STAGING_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "patchfile/patch_context.h"
#include "platform/platform.h"

namespace mendrix {

// Where a run's files are: OldPath, the older data (a file or a directory),
// and NewPath, where the newer data goes.
struct TRunPaths {
  std::string OldPath = ".";
  std::string NewPath = ".";
};

// One entry of the table as the commit sees it.
struct TPlannedEntry {
  bool Embedded = false;
  std::string Name;    // the entry's name, for its progress line
  std::string Target;  // where its result goes
  // The staged result; empty when nothing is to be put in place (a file
  // already in its new state, or a pass that stages nothing).
  std::string Staged;
  TOsFileIdentity StagedWas;  // the staged file as it was finished
  bool Replaces = false;      // a file stood at Target when it was looked at
  TOsFileIdentity TargetWas;  // that file, with Replaces
  std::string Backup;         // tree file entries with Replaces: its backup path
  bool BackupLinked = false;  // the backup slot already holds a link to it
  std::string Source;         // the old file the result was made from, if any
  TOsFileIdentity SourceWas;
  // Tree patches: NewPath, and the names below it of the target and of the
  // backup, whose ways are looked at again just before they are used.
  std::string Root;
  std::string Relative;
  std::string BackupRelative;
};

// Why an entry can't be installed: the stop its install would have given.
struct TInstallProblem {
  bool Found = false;
  std::size_t Entry = 0;  // the entry's place in the table, from 0
  std::string Name;       // the entry's name, for its progress line
  bool Embedded = false;
  std::string Note;  // a line that tells the user what to do, or empty
  std::string Message;
};

struct TInstallPlan {
  bool Stage = false;  // write staged results beside the targets
  bool Check = false;  // look whether each entry can be installed
  std::vector<TPlannedEntry> Entries;
  // Found by a quiet pass, which can't stop with it: the pass that prints
  // the entries' lines stops there.
  TInstallProblem Problem;
};

// Looks whether the current file entry's result can be put at
// context.TargetPath, and fills in entry (Target, Replaces, TargetWas,
// Backup, BackupLinked). False with problem set when it can't.
bool CheckFileInstall(const TPatchContext& context, const TRunPaths& paths, TPlannedEntry& entry,
                      TInstallProblem& problem);
// The same for the current embedded file at context.EmbeddedPath.
bool CheckEmbeddedInstall(const TPatchContext& context, const TRunPaths& paths,
                          TPlannedEntry& entry, TInstallProblem& problem);

// Copies the next length bytes of source to a new staged file beside target
// (its directories made first), finished with the date stamp and the owner
// and permissions of the file at model (of a new file when model is empty).
// False when that fails; nothing is left then.
bool StageFrom(TRunFiles& run, TDiskFile& source, std::uint32_t length, const std::string& target,
               const std::string& model, std::uint32_t stamp, std::string& staged,
               TOsFileIdentity& identity);
// Copies the file at from to a new staged file beside target, finished with
// the date stamp and the owner and permissions of the file at model (of a
// new file when model is empty). False when that fails; nothing is left then.
bool StageCopy(TRunFiles& run, const std::string& from, const std::string& target,
               const std::string& model, std::uint32_t stamp, std::string& staged,
               TOsFileIdentity& identity);
// Removes what an interrupted run staged beside target and left: files
// target.DWX<n> below the staged file's own number whose bytes are all
// found, in order, at the start of staged, or that are a second name of the
// target itself (so nothing is lost with them).
void RemoveStagedLeftovers(TRunFiles& run, const std::string& target, const std::string& staged);

// Stops the run with problem (its note first); removes what was staged.
[[noreturn]] void StopWithProblem(const TInstallProblem& problem);
// Deletes every staged file of plan and the directories made for them, and
// empties it.
void DiscardPlan(TRunFiles& run, TInstallPlan& plan);
// Makes the staged files durable and puts every entry's result in place, in
// plan order, with their progress lines. A failure puts back what was
// committed and stops the run with the failing step's message.
void CommitPlan(TRunFiles& run, TInstallPlan& plan, const TPatchContext& context,
                const TRunPaths& paths);

}  // namespace mendrix

#endif  // MENDRIX_INSTALL_STAGING_H_
