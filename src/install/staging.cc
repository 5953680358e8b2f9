// Staging and commit.
//
// After a kill at any moment each target is wholly old or wholly new: a
// staged file only ever gets its target's name by one rename, and the old
// file keeps a second name (backup link, or a kept name for a replaced
// embedded file) until the rename is done. (Where the file system has no
// hard links, the old file is renamed to that second name first: killed
// between the two renames, the target's name is missing, its old bytes
// whole under the second name.) A rerun finds a committed entry already in
// its new state, takes a backup link left before the rename for its own,
// and removes the staged leftovers it can prove to be its own.
#include "install/staging.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "delta/streams.h"
#include "fileio/fileio.h"

namespace mendrix {

namespace {

constexpr const char* CantCopy = "Error, can't copy temporary generated file!";
constexpr const char* CantWriteEmbedded = "Error writing embedded file!";

std::string CantReplace(const std::string& path) {
  return "Error, can't replace \"" + path + "\"!";
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string> SplitParts(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (IsSeparator(c)) {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// The directory path lies in: up to its last separator, or "." without one.
std::string ParentOf(const std::string& path) {
  const std::size_t last = path.find_last_of("/\\");
  if (last == std::string::npos) return ".";
  return last == 0 ? path.substr(0, 1) : path.substr(0, last);
}

// A path with every separator a backslash and no empty or "." parts after
// the first: two paths that differ only there name the same place.
std::string PlainPath(const std::string& path) {
  std::string plain;
  const std::vector<std::string> parts = SplitParts(path);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i != 0 && (parts[i].empty() || parts[i] == ".")) continue;
    if (i != 0) plain += '\\';
    plain += parts[i];
  }
  return plain;
}

enum class TWay {
  Clear,
  Link,     // a symbolic link where a directory is to be
  Blocked,  // something else that is no directory
  Closed,   // no new file or directory can be made where one is needed
};

// Looks at every directory between root (the user's own, which may be a
// link) and the last part of relative: each must be a real directory, or
// missing and then made by the run. With mustCreate, the deepest existing
// one must also take new names.
TWay CheckWay(const std::string& root, const std::string& relative, bool mustCreate) {
  const std::vector<std::string> parts = SplitParts(relative);
  std::string path = root;
  std::string deepest = root;
  bool missing = false;
  for (std::size_t i = 0; i + 1 < parts.size() && !missing; ++i) {
    path = JoinPath(path, parts[i]);
    switch (OsPathKind(path)) {
      case TOsPathKind::Directory:
        deepest = path;
        break;
      case TOsPathKind::Missing:
        missing = true;
        break;
      case TOsPathKind::Link:
        return TWay::Link;
      default:
        return TWay::Blocked;
    }
  }
  // A root that doesn't exist yet is made with its parents.
  if (mustCreate && OsIsDirectory(deepest) && !OsCanCreateIn(deepest)) return TWay::Closed;
  return TWay::Clear;
}

// Whether a new name can be made at path: in its deepest directory that
// exists (the others are then made by the run).
bool CanCreateAt(const std::string& path) {
  std::string directory = ParentOf(path);
  while (!OsIsDirectory(directory)) {
    const std::string parent = ParentOf(directory);
    if (parent == directory) return false;
    directory = parent;
  }
  return OsCanCreateIn(directory);
}

bool SameState(const TOsFileIdentity& a, const TOsFileIdentity& b) {
  return a.Device == b.Device && a.Inode == b.Inode && a.Size == b.Size && a.Modified == b.Modified;
}

bool Fail(TInstallProblem& problem, std::string message, std::string note = std::string()) {
  problem.Found = true;
  problem.Message = std::move(message);
  problem.Note = std::move(note);
  return false;
}

// Looks at the backup slot of a tree entry whose target holds a file.
bool CheckBackup(const TPatchContext& context, const TRunPaths& paths, TPlannedEntry& entry,
                 TInstallProblem& problem) {
  entry.BackupRelative = JoinPath(context.BackupName, context.EntryName);
  entry.Backup = JoinPath(paths.NewPath, entry.BackupRelative);
  const std::string cantReplace = CantReplace(entry.Target);
  // An empty or "." backup name makes the backup the target itself.
  if (PlainPath(entry.Backup) == PlainPath(entry.Target)) return Fail(problem, cantReplace);
  if (CheckWay(paths.NewPath, entry.BackupRelative, true) != TWay::Clear) {
    return Fail(problem, cantReplace);
  }
  switch (OsPathKind(entry.Backup)) {
    case TOsPathKind::Missing:
      return true;
    case TOsPathKind::File: {
      // Only a second name of the target itself, made by an interrupted
      // run, counts as this run's backup.
      TOsFileIdentity held;
      if (OsFileIdentity(entry.Backup, false, held) == 0 && held.Regular && held.Links >= 2 &&
          held.Device == entry.TargetWas.Device && held.Inode == entry.TargetWas.Inode) {
        entry.BackupLinked = true;
        return true;
      }
      return Fail(problem, cantReplace,
                  "The backup folder already holds \"" + entry.Backup +
                      "\" from an earlier update; move it away and run the patch again.");
    }
    default:
      return Fail(problem, cantReplace);
  }
}

// Creates the directories of a tree entry's backup path that are missing,
// each with the permissions of the directory it mirrors.
void MakeBackupDirectories(TRunFiles& run, const TPlannedEntry& entry,
                           const std::string& backupName) {
  // Most often the whole way exists already (the way was just looked at:
  // nothing on it is a link).
  if (OsIsDirectory(ParentOf(entry.Backup))) return;
  const std::vector<std::string> backupParts = SplitParts(backupName);
  std::string path = entry.Root;
  for (std::size_t i = 0; i < backupParts.size(); ++i) {
    path = JoinPath(path, backupParts[i]);
    // The backup folder itself mirrors the tree's root.
    const std::string model = i + 1 == backupParts.size() ? entry.Root : std::string();
    if (OsPathKind(path) == TOsPathKind::Missing) (void)MakeDirectoryLike(run, path, model);
  }
  const std::vector<std::string> parts = SplitParts(entry.Relative);
  std::string model = entry.Root;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    path = JoinPath(path, parts[i]);
    model = JoinPath(model, parts[i]);
    if (OsPathKind(path) == TOsPathKind::Missing) (void)MakeDirectoryLike(run, path, model);
  }
}

// What the commit did for one entry, to be undone by a rollback.
struct TCommitStep {
  const TPlannedEntry* Entry = nullptr;
  // The name that holds the old file beside the target (its backup, or a
  // kept name), and whether this run made it.
  std::string Holder;
  bool HolderIsOurs = false;
  bool MovedAway = false;  // the old file was renamed to Holder, not linked
  bool Committed = false;  // the staged file was renamed onto the target
};

// Gives the old file of a replaced embedded file a private second name.
void KeepOldFile(const TPlannedEntry& entry, TCommitStep& step) {
  for (int n = 0; n < MaxWorkFileNames; ++n) {
    const std::string kept = entry.Target + ".DWX" + std::to_string(n);
    if (OsPathKind(kept) != TOsPathKind::Missing) continue;
    if (OsLink(entry.Target, kept) == 0 || OsRename(entry.Target, kept) == 0) {
      step.Holder = kept;
      step.HolderIsOurs = true;
      step.MovedAway = OsPathKind(entry.Target) == TOsPathKind::Missing;
    }
    return;
  }
}

// Puts the target back as it was before step.
void UndoStep(const TCommitStep& step) {
  const TPlannedEntry& entry = *step.Entry;
  if (!step.Committed) {
    if (step.MovedAway) {
      (void)OsRename(step.Holder, entry.Target);
    } else if (step.HolderIsOurs) {
      (void)OsDelete(step.Holder);
    }
    return;
  }
  if (!entry.Replaces) {
    (void)OsDelete(entry.Target);
    return;
  }
  if (step.HolderIsOurs) {
    (void)OsReplace(step.Holder, entry.Target);
    return;
  }
  // The backup link was there before this run: it stays, and a third name
  // of the old file goes back onto the target.
  for (int n = 0; n < MaxWorkFileNames; ++n) {
    const std::string spare = entry.Target + ".DWX" + std::to_string(n);
    if (OsLink(step.Holder, spare) == 0) {
      if (OsReplace(spare, entry.Target) != 0) (void)OsDelete(spare);
      return;
    }
    if (OsPathKind(spare) == TOsPathKind::Missing) return;
  }
}

// Puts one staged entry in place. Empty on success, else the message to stop with.
std::string CommitEntry(TRunFiles& run, const TPlannedEntry& entry, const TPatchContext& context,
                        TCommitStep& step) {
  step.Entry = &entry;
  const std::string cantStage = entry.Embedded ? CantWriteEmbedded : CantCopy;
  const std::string failure =
      entry.Replaces && !entry.Embedded ? CantReplace(entry.Target) : cantStage;
  // The target and the way to it must still be as the test found them,
  // and the staged file the one this run wrote (the folder may be open to
  // others, who could put a file of their own at its name).
  TOsFileIdentity now;
  if (OsFileIdentity(entry.Staged, false, now) != 0 || !SameState(now, entry.StagedWas)) {
    return cantStage;
  }
  if (entry.Replaces
          ? OsFileIdentity(entry.Target, false, now) != 0 || !SameState(now, entry.TargetWas)
          : OsPathKind(entry.Target) != TOsPathKind::Missing) {
    return failure;
  }
  if (!entry.Root.empty() && (CheckWay(entry.Root, entry.Relative, false) != TWay::Clear ||
                              (!entry.Backup.empty() &&
                               CheckWay(entry.Root, entry.BackupRelative, false) != TWay::Clear))) {
    return failure;
  }

  if (entry.Replaces && !entry.Backup.empty()) {
    step.Holder = entry.Backup;
    if (!entry.BackupLinked) {
      MakeBackupDirectories(run, entry, context.BackupName);
      NoteDirectoryOf(run, entry.Backup);
      if (OsLink(entry.Target, entry.Backup) == 0) {
        step.HolderIsOurs = true;
      } else if (OsRename(entry.Target, entry.Backup) == 0) {  // no hard links here
        step.HolderIsOurs = true;
        step.MovedAway = true;
      } else {
        return failure;
      }
    }
  } else if (entry.Replaces && entry.Embedded) {
    KeepOldFile(entry, step);
    if (step.Holder.empty()) return failure;
  }

  const int error = entry.Replaces && !step.MovedAway ? OsReplace(entry.Staged, entry.Target)
                                                      : OsRename(entry.Staged, entry.Target);
  if (error != 0) {
    UndoStep(step);
    return failure;
  }
  step.Committed = true;
  ForgetCreatedFile(run, entry.Staged);
  // Swapped in between the look and the rename: put the old file back.
  if (OsFileIdentity(entry.Target, false, now) != 0 || !SameState(now, entry.StagedWas)) {
    UndoStep(step);
    return cantStage;
  }
  return std::string();
}

// True when the bytes of the file at leftover are, in order, the first
// bytes of the file at staged.
bool IsPrefixOf(const std::string& leftover, const std::string& staged) {
  TDiskFile a, b;
  OpenForReading(a, leftover);
  OpenForReading(b, staged);
  bool same = TakeIoStatus() == 0;
  std::int32_t remaining = same ? GetSize(a) : -1;
  const std::int32_t stagedSize = same ? GetSize(b) : -1;
  same = TakeIoStatus() == 0 && remaining >= 0 && remaining <= stagedSize;
  if (same) {
    auto bufferA = std::make_unique_for_overwrite<std::uint8_t[]>(BlockPiece);
    auto bufferB = std::make_unique_for_overwrite<std::uint8_t[]>(BlockPiece);
    while (same && remaining > 0) {
      const std::int32_t piece = std::min(remaining, BlockPiece);
      same = ReadBlock(a, bufferA.get(), piece) && ReadBlock(b, bufferB.get(), piece) &&
             std::equal(bufferA.get(), bufferA.get() + piece, bufferB.get());
      remaining -= piece;
    }
  }
  if (a.State != TFileState::Closed) CloseDiskFile(a);
  if (b.State != TFileState::Closed) CloseDiskFile(b);
  (void)TakeIoStatus();  // only read from
  return same;
}

// The staged data reaches the disk before any name changes, so that a crash
// of the system can't leave a target renamed onto a file whose bytes were
// never written. Then every old file a result was made from must still be
// the one tested (one entry's source may be another's target, replaced
// further on).
void MakeStagedDurable(const TInstallPlan& plan, const TRunPaths& paths) {
  std::vector<std::string> staged;
  for (const TPlannedEntry& entry : plan.Entries) {
    if (!entry.Staged.empty()) staged.push_back(entry.Staged);
  }
  StopIfInterrupted();
  if (!staged.empty() && OsSyncFiles(staged) != 0) FatalStop(CantCopy);
  for (const TPlannedEntry& entry : plan.Entries) {
    TOsFileIdentity now;
    if (!entry.Staged.empty() && !entry.Source.empty() &&
        (OsFileIdentity(entry.Source, true, now) != 0 || !SameState(now, entry.SourceWas))) {
      FatalStop("Error, patch seems not applicable to " + paths.OldPath);
    }
  }
  StopIfInterrupted();
}

// The new names reach the disk too; then the kept old files can go.
void FinishCommit(const std::vector<TCommitStep>& done) {
  std::vector<std::string> directories;
  for (const TCommitStep& step : done) {
    directories.push_back(ParentOf(step.Entry->Target));
    if (!step.Entry->Backup.empty()) directories.push_back(ParentOf(step.Entry->Backup));
  }
  std::sort(directories.begin(), directories.end());
  directories.erase(std::unique(directories.begin(), directories.end()), directories.end());
  (void)OsSyncDirectories(directories);
  for (const TCommitStep& step : done) {
    if (step.Entry->Embedded && step.HolderIsOurs) (void)OsDelete(step.Holder);
  }
}

}  // namespace

bool CheckFileInstall(const TPatchContext& context, const TRunPaths& paths, TPlannedEntry& entry,
                      TInstallProblem& problem) {
  entry.Target = context.TargetPath;
  const std::string cantReplace = CantReplace(entry.Target);
  if (context.TreeMode) {
    entry.Root = paths.NewPath;
    entry.Relative = context.EntryName;
    switch (CheckWay(paths.NewPath, context.EntryName, true)) {
      case TWay::Clear:
        break;
      case TWay::Link:
        return Fail(problem, cantReplace);
      default:
        return Fail(problem, CantCopy);
    }
  }
  switch (OsPathKind(entry.Target)) {
    case TOsPathKind::Missing:
      if (!context.TreeMode && !CanCreateAt(entry.Target)) {
        return Fail(problem, CantCopy);
      }
      return true;
    case TOsPathKind::Directory:
      return Fail(problem, CantCopy);
    case TOsPathKind::File:
      break;
    case TOsPathKind::Link:
      // A single file's NewPath is the user's own and may be a link, which
      // the result then replaces; below a tree's root no link is followed.
      if (context.TreeMode) return Fail(problem, cantReplace);
      break;
    default:
      return Fail(problem, cantReplace);
  }
  entry.Replaces = true;
  if (OsFileIdentity(entry.Target, false, entry.TargetWas) != 0) return Fail(problem, cantReplace);
  if (!context.TreeMode) {
    return CanCreateAt(entry.Target) || Fail(problem, cantReplace);
  }
  return CheckBackup(context, paths, entry, problem);
}

bool CheckEmbeddedInstall(const TPatchContext& context, const TRunPaths& paths,
                          TPlannedEntry& entry, TInstallProblem& problem) {
  entry.Embedded = true;
  entry.Target = context.EmbeddedPath;
  entry.Root = paths.NewPath;
  entry.Relative = context.EntryName;
  if (CheckWay(paths.NewPath, context.EntryName, true) != TWay::Clear) {
    return Fail(problem, CantWriteEmbedded);
  }
  switch (OsPathKind(entry.Target)) {
    case TOsPathKind::Missing:
      return true;
    case TOsPathKind::File:
      entry.Replaces = true;
      return OsFileIdentity(entry.Target, false, entry.TargetWas) == 0 ||
             Fail(problem, CantWriteEmbedded);
    default:
      return Fail(problem, CantWriteEmbedded);
  }
}

bool StageFrom(TRunFiles& run, TDiskFile& source, std::uint32_t length, const std::string& target,
               const std::string& model, std::uint32_t stamp, std::string& staged,
               TOsFileIdentity& identity) {
  MakeDirectories(run, target);
  TDiskFile copy;
  if (!CreateBesideFile(run, target, copy, staged)) return false;
  auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(BlockPiece);
  bool ok = true;
  std::int64_t written = 0;
  std::int64_t writtenOut = 0;
  for (std::uint32_t remaining = length; ok && remaining > 0;) {
    const auto piece = static_cast<std::int32_t>(std::min<std::uint32_t>(remaining, BlockPiece));
    ok = ReadBlock(source, buffer.get(), piece) && WriteBlock(copy, buffer.get(), piece);
    remaining -= static_cast<std::uint32_t>(piece);
    written += piece;
    WriteOutUpTo(copy, written, writtenOut);
    StopIfInterrupted();
  }
  ok = ok && FinishFile(copy, model, stamp, identity);
  CloseDiskFile(copy);
  ok = TakeIoStatus() == 0 && ok;
  if (!ok) DeleteQuietly(run, staged);
  return ok;
}

bool StageCopy(TRunFiles& run, const std::string& from, const std::string& target,
               const std::string& model, std::uint32_t stamp, std::string& staged,
               TOsFileIdentity& identity) {
  TDiskFile source;
  OpenForReading(source, from);
  const std::int32_t size = TakeIoStatus() == 0 ? GetSize(source) : -1;
  const bool ok = TakeIoStatus() == 0 && size >= 0 &&
                  StageFrom(run, source, static_cast<std::uint32_t>(size), target, model, stamp,
                            staged, identity);
  if (source.State != TFileState::Closed) CloseDiskFile(source);
  (void)TakeIoStatus();  // only read from
  return ok;
}

void RemoveStagedLeftovers(TRunFiles& run, const std::string& target, const std::string& staged) {
  const std::string prefix = target + ".DWX";
  if (staged.compare(0, prefix.size(), prefix) != 0) return;
  const int own = std::atoi(staged.c_str() + prefix.size());
  TOsFileIdentity current;
  const bool targetThere = OsFileIdentity(target, false, current) == 0 && current.Regular;
  for (int n = 0; n < own; ++n) {
    const std::string name = prefix + std::to_string(n);
    TOsFileIdentity leftover;
    if (IsCreatedFile(run, name) || OsFileIdentity(name, false, leftover) != 0 ||
        !leftover.Regular) {
      continue;
    }
    // A kept name of a replaced embedded file, left before the rename.
    const bool secondName =
        targetThere && leftover.Device == current.Device && leftover.Inode == current.Inode;
    if (secondName || IsPrefixOf(name, staged)) DeleteQuietly(run, name);
  }
}

void StopWithProblem(const TInstallProblem& problem) {
  if (!problem.Note.empty()) ConsoleWriteLn(problem.Note);
  FatalStop(problem.Message);
}

void DiscardPlan(TRunFiles& run, TInstallPlan& plan) {
  for (const TPlannedEntry& entry : plan.Entries) {
    if (!entry.Staged.empty()) DeleteQuietly(run, entry.Staged);
  }
  RemoveCreatedDirectories(run);
  RestoreDirectoryTimes(run);
  plan.Entries.clear();
  plan.Problem = TInstallProblem();
}

void CommitPlan(TRunFiles& run, TInstallPlan& plan, const TPatchContext& context,
                const TRunPaths& paths) {
  MakeStagedDurable(plan, paths);
  OsHoldInterrupts();

  std::vector<TCommitStep> done;
  done.reserve(plan.Entries.size());
  for (const TPlannedEntry& entry : plan.Entries) {
    OutWriteLn((entry.Embedded ? "Writing embedded file \"" : "Patching file \"") + entry.Name +
               "\".");
    if (entry.Staged.empty()) continue;
    TCommitStep step;
    const std::string failure = CommitEntry(run, entry, context, step);
    if (!failure.empty()) {
      for (auto it = done.rbegin(); it != done.rend(); ++it) UndoStep(*it);
      FatalStop(failure);
    }
    done.push_back(step);
  }
  FinishCommit(done);
  KeepCreatedDirectories(run);
  plan.Entries.clear();
}

}  // namespace mendrix
