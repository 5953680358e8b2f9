// Entry processing.
//
// One file entry goes: progress line; already-patched check (tree patches);
// with a plan, the look at whether its result can be put in place; the
// variant chain; the final check of size and checksum. Intermediate outputs
// of a chain go to work files, each set aside as soon as the next step has
// used it (the next output writes over it, the end of the pass deletes it).
// The last output goes, when the pass stages, straight into the staged file
// beside the target, its checksum taken as it is written: each result is
// written once and never read back.
#include "install/entries.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>

#include "checksum/checksum.h"
#include "console/console.h"
#include "delta/apply.h"
#include "delta/streams.h"
#include "install/embedded.h"
#include "patchfile/entry_table.h"

namespace mendrix {

namespace {

constexpr const char* CantCopy = "Error, can't copy temporary generated file!";

bool IsResult(const TPatchContext& context, const std::string& path) {
  return FileMatches(path, context.Entry.ResultSize, context.Entry.ResultCrc, context.EntryExclude);
}

// An entry that can't be installed: a pass with lines stops at once; a
// quiet one notes it and ends the walk, to be reported by the pass that
// prints the entry's line.
void HandleProblem(TInstallPlan& plan, TInstallProblem problem, std::size_t index,
                   const TPlannedEntry& entry, bool quiet) {
  problem.Found = true;
  problem.Entry = index;
  problem.Name = entry.Name;
  problem.Embedded = entry.Embedded;
  if (!quiet) StopWithProblem(problem);
  if (!plan.Problem.Found) plan.Problem = problem;
}

void SetProblem(TInstallProblem& problem, const char* message) {
  problem.Found = true;
  problem.Message = message;
  problem.Note.clear();
}

// The outcome of an entry's variant chain.
struct TChain {
  bool Matched = false;    // a variant's source matched
  std::string ResultFile;  // its last output (empty when it couldn't be staged)
  bool Staged = false;     // ResultFile is the staged file beside the target
  bool Finished = false;   // and it was finished: dated, owner and permissions given
  TOsFileIdentity Identity;
  std::uint32_t Crc = 0;
  std::int64_t Size = 0;
};

// Runs the variant chain of the current entry; stage: the last output goes
// beside the target. planned receives the source the chain started from.
TChain RunChain(TPatchContext& context, TWorkState& work, const TRunPaths& paths, bool stage,
                TPlannedEntry& planned, TInstallProblem& problem) {
  TChain chain;
  std::size_t count = std::min(
      {context.Variants.size(), context.StreamOffset.size(), context.VariantExclude.size()});
  if (context.TreeMode) count = std::min(count, context.VariantPath.size());
  std::string currentSource;
  for (std::size_t k = 0; k < count; ++k) {
    const bool last = k + 1 == count;
    const std::uint32_t expected =
        last ? context.Entry.ResultSize : context.Variants[k + 1].SourceSize;
    // Sizes of 2 GiB and more can't be produced; the final check refuses them.
    const std::int32_t targetSize = static_cast<std::int32_t>(
        std::min<std::uint32_t>(expected, std::numeric_limits<std::int32_t>::max()));
    TVariantJob job;
    job.Variant = &context.Variants[k];
    job.StreamOffset = context.StreamOffset[k];
    job.VerifySource = !chain.Matched;
    job.Silent = !chain.Matched;
    job.TargetSize = targetSize;
    job.Exclude = context.VariantExclude[k];
    if (!chain.Matched) {
      currentSource =
          context.TreeMode ? JoinPath(paths.OldPath, context.VariantPath[k]) : paths.OldPath;
      if (stage) (void)OsFileIdentity(currentSource, true, planned.SourceWas);
    }
    job.SourcePath = currentSource;
    TVariantOutput output;
    output.Check = last;
    output.Exclude = context.EntryExclude;
    if (last && stage) {
      output.StageBeside = context.TargetPath;
      output.Finish = true;
      output.Stamp = context.Entry.ResultTime;
      output.Model = planned.Replaces ? planned.Target : std::string();
    }
    const TApplyResult result = ApplyVariantTo(context, work, job, output);
    if (result == TApplyResult::CantStage) {
      if (chain.Matched) DropWorkFile(work.Files, currentSource);  // an intermediate output
      chain.ResultFile.clear();
      chain.Matched = true;
      SetProblem(problem, CantCopy);
      return chain;
    }
    if (result != TApplyResult::Applied) continue;
    if (chain.Matched) {
      DropWorkFile(work.Files, currentSource);
    } else if (stage) {
      planned.Source = currentSource;
    }
    chain.Matched = true;
    currentSource = output.Name;
    chain.ResultFile = output.Name;
    if (last) {
      chain.Staged = !output.StageBeside.empty();
      chain.Finished = output.Finished;
      chain.Identity = output.Identity;
      chain.Crc = output.Crc;
      chain.Size = output.Size;
    }
  }
  return chain;
}

void DropResult(TRunFiles& run, const TChain& chain) {
  if (chain.ResultFile.empty()) return;
  if (chain.Staged) {
    DeleteQuietly(run, chain.ResultFile);
  } else {
    DropWorkFile(run, chain.ResultFile);
  }
}

// Whether anything is to be put at the target of an entry already in its
// new state under OldPath. False with problem set when what stands at the
// target is in the way.
bool AlreadyPatchedNeedsCopy(const TPatchContext& context, const std::string& resultFile,
                             bool check, TInstallProblem& problem) {
  const std::string& target = context.TargetPath;
  if (resultFile == target || SameFile(resultFile, target)) return false;
  switch (OsPathKind(target)) {
    case TOsPathKind::Missing:
      return true;
    case TOsPathKind::File:
      if (check && !IsResult(context, target)) {
        problem.Found = true;
        problem.Message = "Error, can't replace \"" + target + "\"!";
      }
      return false;
    default:
      if (check) SetProblem(problem, CantCopy);
      return false;
  }
}

// Where a file entry's result stands once its chain has run: kept in plan
// for the commit as staged, or (an entry already in its new state under
// OldPath) copied to NewPath now. problem is set where neither is possible.
void KeepStagedResult(TRunFiles& run, const TPatchContext& context, TChain& chain,
                      const std::string& oldFile, bool alreadyPatched, TPlannedEntry& planned,
                      TInstallProblem& problem) {
  if (chain.Staged) {
    if (chain.Finished) {
      planned.Staged = chain.ResultFile;
      planned.StagedWas = chain.Identity;
    } else {
      DeleteQuietly(run, chain.ResultFile);
    }
    chain.ResultFile.clear();
  } else if (alreadyPatched) {
    // The file under OldPath is the result already; a copy goes to NewPath.
    (void)StageCopy(run, oldFile, planned.Target, oldFile, context.Entry.ResultTime, planned.Staged,
                    planned.StagedWas);
  }
  if (planned.Staged.empty()) SetProblem(problem, CantCopy);
}

// One file entry; the patch file stands just after its records, and after
// its streams on return. False when no variant matched, or quiet and the
// final check failed. stop: a problem ended the walk.
bool ProcessFileEntry(TPatchContext& context, TWorkState& work, const TRunPaths& paths, bool quiet,
                      TInstallPlan& plan, std::size_t index, bool& stop) {
  if (!quiet) OutWriteLn("Checking patchinfo for \"" + context.EntryName + "\".");
  // Where the next entry begins; the chain reads the streams of this one.
  const std::int32_t nextEntry = GetPosition(context.PatchFile);
  if (TakeIoStatus() != 0 || nextEntry < 0) FatalStop("Error, can't read from patchfile?!");

  TPlannedEntry planned;
  planned.Name = context.EntryName;
  planned.Target = context.TargetPath;
  const std::string oldFile =
      context.TreeMode ? JoinPath(paths.OldPath, context.EntryName) : std::string();
  const bool alreadyPatched = context.TreeMode && IsResult(context, oldFile);

  TInstallProblem problem;
  bool needed = true;  // a result is to be put at the target
  if (alreadyPatched) needed = AlreadyPatchedNeedsCopy(context, oldFile, plan.Check, problem);
  if (needed && plan.Check) (void)CheckFileInstall(context, paths, planned, problem);
  const bool stage = plan.Stage && needed && !problem.Found;

  TChain chain;
  if (!alreadyPatched) {
    chain = RunChain(context, work, paths, stage, planned, problem);
    if (!chain.Matched) return false;
    SeekTo(context.PatchFile, nextEntry);
    if (!chain.ResultFile.empty() && (chain.Size != std::int64_t{context.Entry.ResultSize} ||
                                      chain.Crc != context.Entry.ResultCrc)) {
      if (!quiet) {
        FatalStop("Error while applying. Internal checksum doesn't match! Please contact author!");
      }
      DropResult(work.Files, chain);
      return false;
    }
  }

  if (!problem.Found && stage) {
    KeepStagedResult(work.Files, context, chain, oldFile, alreadyPatched, planned, problem);
  }
  if (!alreadyPatched) DropResult(work.Files, chain);
  if (problem.Found) {
    HandleProblem(plan, problem, index, planned, quiet);
    stop = true;
    return true;
  }
  if (!planned.Staged.empty()) RemoveStagedLeftovers(work.Files, planned.Target, planned.Staged);
  plan.Entries.push_back(std::move(planned));
  return true;
}

// One embedded file: looked at and staged (or only stepped over).
void ProcessEmbeddedEntry(TPatchContext& context, TRunFiles& run, const TRunPaths& paths,
                          bool quiet, TInstallPlan& plan, std::size_t index, bool& stop) {
  if (!quiet) OutWriteLn("Skipping embedded file \"" + context.EntryName + "\".");
  const TEmbeddedRecord record = ReadEmbeddedRecord(context);
  TPlannedEntry planned;
  planned.Embedded = true;
  planned.Name = context.EntryName;
  planned.Target = context.EmbeddedPath;
  TInstallProblem problem;
  if (plan.Check) (void)CheckEmbeddedInstall(context, paths, planned, problem);
  if (!problem.Found && plan.Stage) {
    const std::string model = planned.Replaces ? planned.Target : std::string();
    if (StageEmbeddedContent(context, run, record, model, planned.Staged, planned.StagedWas)) {
      RemoveStagedLeftovers(run, planned.Target, planned.Staged);
    } else {
      SetProblem(problem, "Error writing embedded file!");
    }
  } else {
    SkipEmbeddedContent(context, record);
  }
  if (problem.Found) {
    HandleProblem(plan, problem, index, planned, quiet);
    stop = true;
    return;
  }
  plan.Entries.push_back(std::move(planned));
}

bool WalkEntries(TPatchContext& context, TWorkState& work, const TRunPaths& paths, bool quiet,
                 TInstallPlan& plan) {
  SeekTo(context.PatchFile, context.EntryTableOffset);
  bool stop = false;
  for (std::size_t index = 0; !stop; ++index) {
    StopIfInterrupted();
    const std::uint8_t type = ReadEntry(context);
    if (type == EndEntryType) return true;
    PlaceEntry(context, paths, type);
    if (type == EmbeddedEntryType) {
      ProcessEmbeddedEntry(context, work.Files, paths, quiet, plan, index, stop);
      continue;
    }
    if (!ProcessFileEntry(context, work, paths, quiet, plan, index, stop)) return false;
    if (!context.TreeMode) return true;
  }
  return true;
}

}  // namespace

void PlaceEntry(TPatchContext& context, const TRunPaths& paths, std::uint8_t type) {
  if (type == EmbeddedEntryType) {
    context.EmbeddedPath = JoinPath(paths.NewPath, context.EntryName);
  } else if (context.TreeMode) {
    context.TargetPath = JoinPath(paths.NewPath, context.EntryName);
  } else {
    context.EntryName = paths.OldPath;
    context.TargetPath = paths.NewPath;
  }
}

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

bool ProcessEntries(TPatchContext& context, TWorkState& work, const TRunPaths& paths, TPass pass,
                    TInstallPlan* plan) {
  TInstallPlan none;
  const bool passed =
      WalkEntries(context, work, paths, pass == TPass::QuietTest, plan != nullptr ? *plan : none);
  ReleaseWorkFiles(work.Files, work.Decoder);  // the stream work files and outputs kept for reuse
  return passed;
}

void RepeatTestPassLines(const TInstallPlan& plan) {
  auto line = [](bool embedded, const std::string& name) {
    OutWriteLn((embedded ? "Skipping embedded file \"" : "Checking patchinfo for \"") + name +
               "\".");
  };
  for (const TPlannedEntry& entry : plan.Entries) line(entry.Embedded, entry.Name);
  if (plan.Problem.Found) {
    line(plan.Problem.Embedded, plan.Problem.Name);
    StopWithProblem(plan.Problem);
  }
}

}  // namespace mendrix
