// Entry processing.
//
// One file entry goes: progress line; already-patched check (tree patches);
// the variant chain, in work files only; the final check of size and
// checksum; then, in the apply pass, the install. Each output work file is
// set aside as soon as the next step has used it, so at most two exist at
// once; the next output writes over it, and the end of the pass deletes it.
//
// The install is built so that a process killed at any moment leaves the
// target wholly old or wholly new, and a second run finishes the job:
//   1. the result is copied, with its date, to a new file beside the target;
//   2. tree patches: the old file gets a second name in the backup directory
//      (a hard link; a rename where links are missing). A backup that already
//      is the same file is a link left by an interrupted run;
//   3. the copy is renamed onto the target in one step.
// Where the old file can't be moved out of the way, it is left as it was; if
// it isn't already the result, that is a fatal stop.
#include "install/entries.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "checksum/checksum.h"
#include "console/console.h"
#include "delta/apply.h"
#include "delta/streams.h"
#include "patchfile/entry_table.h"
#include "install/embedded.h"

namespace mendrix {

namespace {

constexpr std::int32_t InstallPiece = 60000;  // bytes per read and write of the install copy
std::array<std::uint8_t, InstallPiece> InstallBuffer;

enum class TPlaceMode { Rename, Replace };

[[noreturn]] void StopCantReplace(const std::string& path) {
  FatalStop("Error, can't replace \"" + path + "\"!");
}

bool IsResult(const TPatchContext& context, const std::string& path) {
  return FileMatches(path, context.Entry.ResultSize, context.Entry.ResultCrc, context.EntryExclude);
}

// Copies workFile to a new file beside destination and dates it; returns the
// copy's name. The user's file is not touched here.
std::string CopyResultBeside(TPatchContext& context, const std::string& workFile,
                             const std::string& destination) {
  TDiskFile work;
  OpenForReading(work, workFile);
  if (TakeIoStatus() != 0) FatalStop("Error, can't open temporary generated file!");
  const std::int32_t size = GetSize(work);

  MakeDirectories(destination);
  TDiskFile copy;
  std::string copyName;
  if (size < 0 || !CreateBesideFile(destination, copy, copyName)) {
    CloseDiskFile(work);
    (void)TakeIoStatus();  // the copy failed already; closing can't change that
    FatalStop("Error, can't copy temporary generated file!");
  }
  // The result takes the access permissions of the file it replaces, so a
  // patched program stays executable; a new file takes those of its source.
  (void)CopyFilePermissions(PathExists(destination) ? destination : workFile, copy);

  bool ok = true;
  for (std::int32_t remaining = size; ok && remaining > 0;) {
    const std::int32_t piece = std::min(remaining, InstallPiece);
    ok = ReadBlock(work, InstallBuffer.data(), piece) &&
         WriteBlock(copy, InstallBuffer.data(), piece);
    remaining -= piece;
  }
  // The date goes on through the handle still open for writing; a stamp the
  // system refuses leaves the file undated, as it would any other copy.
  (void)SetFileStamp(copy, context.Entry.ResultTime);
  CloseDiskFile(copy);
  if (TakeIoStatus() != 0) ok = false;  // a failed close can lose written data
  CloseDiskFile(work);
  (void)TakeIoStatus();  // only read from

  if (!ok) {
    DeleteQuietly(copyName);
    FatalStop("Error, can't copy temporary generated file!");
  }
  return copyName;
}

// Gives the old file at target its backup name. On success mode says how the
// new file is then to be put at target.
// A path with every separator a backslash and no empty or "." parts after
// the first: two paths that differ only there name the same place.
std::string PlainPath(const std::string& path) {
  std::string plain;
  std::string part;
  auto endPart = [&](bool last) {
    if (plain.empty() || (!part.empty() && part != ".")) {
      plain += part;
      if (!last) plain += '\\';
    }
    part.clear();
  };
  for (char c : path) {
    if (c == '/' || c == '\\') {
      endPart(false);
    } else {
      part += c;
    }
  }
  endPart(true);
  return plain;
}

bool BackUpOldFile(const std::string& target, const std::string& backupPath, TPlaceMode& mode) {
  if (PathExists(backupPath)) {
    // An empty backup name makes the backup path the target itself, which
    // can hold no backup.
    if (PlainPath(backupPath) == PlainPath(target)) return false;
    if (!SameFile(backupPath, target)) return false;
    mode = TPlaceMode::Replace;  // linked by an earlier, interrupted run
    return true;
  }
  MakeDirectories(backupPath);
  TDiskFile old;
  old.Path = target;
  LinkDiskFile(old, backupPath);
  if (TakeIoStatus() == 0) {
    mode = TPlaceMode::Replace;
    return true;
  }
  old.Path = target;
  MoveDiskFile(old, backupPath);
  if (TakeIoStatus() == 0) {
    mode = TPlaceMode::Rename;
    return true;
  }
  return false;
}

// The copy could not be put in place: it goes, and the file at destination
// stays as it is. That is fine only when it already is the result. Where no
// file stands (a directory is in the way), the result could not be created.
void GiveUpPlacing(TPatchContext& context, const std::string& copyName,
                   const std::string& destination) {
  DeleteQuietly(copyName);
  if (!PathExists(destination)) FatalStop("Error, can't copy temporary generated file!");
  if (!IsResult(context, destination)) StopCantReplace(destination);
}

// Puts an entry's result at its target in the apply pass.
void InstallEntry(TPatchContext& context, const TRunOptions& options, bool alreadyPatched,
                  const std::string& resultFile) {
  const std::string& target = context.TargetPath;
  if (alreadyPatched) {
    // resultFile is the user's own file under OldPath.
    if (resultFile == target || SameFile(resultFile, target)) return;
    if (PathExists(target)) {
      if (!IsResult(context, target)) StopCantReplace(target);
      return;
    }
    InstallResult(context, resultFile, target, std::string());
    return;
  }
  std::string backupPath;
  if (context.TreeMode) {
    backupPath = JoinPath(JoinPath(options.NewPath, context.BackupName), context.EntryName);
  }
  InstallResult(context, resultFile, target, backupPath);
}

// One file entry; the patch file stands just after its records. Without
// rebuild only its progress line is given.
bool ProcessFileEntry(TPatchContext& context, const TRunOptions& options, bool testOnly,
                      bool quiet, bool rebuild) {
  if (!quiet) {
    OutWriteLn((testOnly ? "Checking patchinfo for \"" : "Patching file \"") + context.EntryName +
               "\".");
  }
  if (!rebuild) return true;  // the entry table reader stepped over its streams
  // Where the next entry begins; the chain reads the streams of this one.
  const std::int32_t nextEntry = GetPosition(context.PatchFile);

  bool alreadyPatched = false;
  bool inChain = false;
  std::string currentSource;
  std::string resultFile;

  if (context.TreeMode) {
    const std::string oldFile = JoinPath(options.OldPath, context.EntryName);
    if (IsResult(context, oldFile)) {
      alreadyPatched = true;
      resultFile = oldFile;
    }
  }

  if (!alreadyPatched) {
    std::size_t count = std::min(
        {context.Variants.size(), context.StreamOffset.size(), context.VariantExclude.size()});
    if (context.TreeMode) count = std::min(count, context.VariantPath.size());
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint32_t expected =
          k + 1 < count ? context.Variants[k + 1].SourceSize : context.Entry.ResultSize;
      // Sizes of 2 GiB and more can't be produced; the final check refuses them.
      const std::int32_t targetSize = static_cast<std::int32_t>(
          std::min<std::uint32_t>(expected, std::numeric_limits<std::int32_t>::max()));
      if (!inChain) {
        currentSource =
            context.TreeMode ? JoinPath(options.OldPath, context.VariantPath[k]) : options.OldPath;
      }
      std::string outputName;
      if (ApplyVariant(context, context.Variants[k], context.StreamOffset[k], currentSource,
                       outputName, !inChain, !inChain, targetSize, context.VariantExclude[k])) {
        if (inChain) DropWorkFile(currentSource);
        inChain = true;
        currentSource = outputName;
        resultFile = outputName;
      }
    }
    if (!inChain) return false;
    SeekTo(context.PatchFile, nextEntry);
  }

  if (!IsResult(context, resultFile)) {
    if (!quiet) {
      FatalStop("Error while applying. Internal checksum doesn't match! Please contact author!");
    }
    if (!alreadyPatched) DropWorkFile(resultFile);
    return false;
  }

  if (!testOnly) InstallEntry(context, options, alreadyPatched, resultFile);
  if (!alreadyPatched) DropWorkFile(resultFile);
  return true;
}

}  // namespace

bool FileMatches(const std::string& path, std::uint32_t size, std::uint32_t crc,
                 const TExcludeRange& exclude) {
  TDiskFile file;
  OpenForReading(file, path);
  if (TakeIoStatus() != 0) return false;
  // The size first: the checksum is only worth reading for a file that fits.
  const bool match = std::int64_t{GetSize(file)} == std::int64_t{size} &&
                     FileChecksum(file, exclude.ExcludeStart, exclude.ExcludeLength) == crc;
  CloseDiskFile(file);
  (void)TakeIoStatus();  // a read failure already showed as a mismatch
  return match;
}

bool CreateBesideFile(const std::string& destination, TDiskFile& file, std::string& name) {
  for (int n = 0; n < MaxWorkFileNames; ++n) {
    std::string candidate = destination + ".DWX" + std::to_string(n);
    CreateNewForWriting(file, candidate);
    if (TakeIoStatus() == 0) {
      RememberCreatedFile(candidate);
      name = std::move(candidate);
      return true;
    }
  }
  return false;
}

void InstallResult(TPatchContext& context, const std::string& workFile,
                   const std::string& destination, const std::string& backupPath) {
  const std::string copyName = CopyResultBeside(context, workFile, destination);

  TPlaceMode mode = TPlaceMode::Rename;
  bool movedAway = false;  // the old file now stands only under its backup name
  if (PathExists(destination)) {
    if (backupPath.empty()) {
      mode = TPlaceMode::Replace;
    } else if (!BackUpOldFile(destination, backupPath, mode)) {
      GiveUpPlacing(context, copyName, destination);
      return;
    } else {
      movedAway = mode == TPlaceMode::Rename;
    }
  }

  TDiskFile copy;
  copy.Path = copyName;
  if (mode == TPlaceMode::Replace) {
    ReplaceDiskFile(copy, destination);
  } else {
    MoveDiskFile(copy, destination);
  }
  if (TakeIoStatus() == 0) {
    ForgetCreatedFile(copyName);
    return;
  }
  if (movedAway) {
    // Put the old file back where it was before giving up.
    TDiskFile old;
    old.Path = backupPath;
    MoveDiskFile(old, destination);
    (void)TakeIoStatus();  // if even that fails, it is still whole in the backup
  }
  GiveUpPlacing(context, copyName, destination);
}

namespace {

bool WalkEntries(TPatchContext& context, const TRunOptions& options, bool testOnly, bool quiet,
                 bool rebuild) {
  SeekTo(context.PatchFile, context.EntryTableOffset);
  for (;;) {
    const std::uint8_t type = ReadEntry(context, options);
    if (type == EndEntryType) return true;
    if (type == EmbeddedEntryType) {
      if (!quiet) {
        OutWriteLn((testOnly ? "Skipping embedded file \"" : "Writing embedded file \"") +
                   context.EntryName + "\".");
      }
      WriteEmbeddedFile(context, testOnly);
      continue;
    }
    if (!ProcessFileEntry(context, options, testOnly, quiet, rebuild)) return false;
    if (!context.TreeMode) return true;
  }
}

}  // namespace

bool ProcessEntries(TPatchContext& context, const TRunOptions& options, bool testOnly, bool quiet) {
  const bool passed = WalkEntries(context, options, testOnly, quiet, true);
  ReleaseWorkFiles();  // the stream work files and outputs kept for reuse
  return passed;
}

void RepeatTestPassLines(TPatchContext& context, const TRunOptions& options) {
  (void)WalkEntries(context, options, true, false, false);
}

}  // namespace mendrix
