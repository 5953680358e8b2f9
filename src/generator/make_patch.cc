#include "generator/make_patch.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "console/console.h"
#include "generator/dos_time.h"
#include "generator/patch_output.h"
#include "generator/plan_choice.h"
#include "generator/progress.h"
#include "generator/source_index.h"
#include "generator/tree_diff.h"
#include "patchfile/container.h"
#include "platform/platform.h"
#include "writer/patch_writer.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxNoticeLength = 65535;

// What the steps of one run share: its options, the status line and the
// patch being made.
struct TMakeJob {
  const TMakeOptions& Options;
  TProgress& Progress;
  TWriterPatch& Patch;
};

void Warn(TProgress& progress, const std::string& message) {
  progress.Clear();
  ConsoleWriteLn("Warning: " + message);
}

// What a chain's variants read: each source and the file it becomes.
std::int64_t ChainWork(const std::vector<TChainSource>& chain, std::uint64_t resultSize) {
  std::int64_t work = 0;
  for (std::size_t k = 0; k < chain.size(); ++k) {
    const std::uint64_t next = k + 1 < chain.size() ? chain[k + 1].Digest.Size : resultSize;
    work += static_cast<std::int64_t>(chain[k].Digest.Size + next);
  }
  return work;
}

std::int64_t DeltaBytes(const TWriterEntry& entry) {
  std::int64_t bytes = 0;
  for (const TWriterVariant& variant : entry.Variants) {
    for (const std::vector<std::uint8_t>& stream : variant.Streams) {
      bytes += static_cast<std::int64_t>(stream.size());
    }
  }
  return bytes;
}

// With Verbose, a line on standard output for an entry made (name is empty
// in a single-file patch).
void ReportEntry(const TMakeJob& job, const std::string& name, const TWriterEntry& entry) {
  if (!job.Options.Verbose) return;
  job.Progress.Clear();
  const std::string shown =
      "\"" + (name.empty() ? fs::path(job.Options.NewPath).filename().string() : name) + "\"";
  if (entry.Type == EmbeddedEntryType) {
    OutWriteLn(shown + ": embedded, " + std::to_string(entry.Content.size()) + " bytes.");
  } else {
    OutWriteLn(shown + ": " + std::to_string(entry.Variants.size()) +
               (entry.Variants.size() == 1 ? " variant, " : " variants, ") +
               std::to_string(DeltaBytes(entry)) + " bytes of delta.");
  }
}

// A backup name Mendrix takes and can use: a relative path of 1 to 255
// bytes by its own name check, and no part empty or made only of dots and
// spaces ("." would be the tree itself, "..." is ".." on Windows).
bool IsUsableBackupName(const std::string& name) {
  if (name.empty() || name.size() > MaxNameLength || !IsContainedName(name)) return false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '\\') continue;
    const std::string part = name.substr(start, i - start);
    if (part.find_first_not_of(". ") == std::string::npos) return false;
    start = i + 1;
  }
  return true;
}

// The old and new versions: all files, or all directories (treeMode), and
// no old version the new one itself.
bool CheckVersions(const TMakeOptions& options, bool& treeMode, std::string& error) {
  std::error_code code;
  std::vector<std::string> versions = options.OldPaths;
  versions.push_back(options.NewPath);
  std::size_t directories = 0;
  for (const std::string& version : versions) {
    const fs::file_status status = fs::status(version, code);
    if (fs::is_directory(status)) {
      ++directories;
    } else if (!fs::is_regular_file(status)) {
      error = "Error, can't read \"" + version + "\"!";
      return false;
    }
  }
  if (directories != 0 && directories != versions.size()) {
    error = "Error, the old and new versions must be all files or all directories!";
    return false;
  }
  treeMode = directories != 0;
  for (const std::string& old : options.OldPaths) {
    if (fs::equivalent(old, options.NewPath, code) && !code) {
      error = "Error, \"" + old + "\" and \"" + options.NewPath + "\" are the same " +
              (treeMode ? "directory" : "file") + "; give an older version!";
      return false;
    }
  }
  return true;
}

// The Mendrix program a self-applying patch starts with.
fs::path MendrixProgram(const TMakeOptions& options) {
  fs::path mendrix = options.MendrixPath;
  if (options.SelfApplying && mendrix.empty()) {
    const fs::path self = OsProgramPath();
    mendrix = self.parent_path() / ("mendrix" + self.extension().string());
  }
  return mendrix;
}

// Every file the run reads: an input that the patch must not replace.
std::vector<std::string> AllInputs(const TMakeOptions& options, const fs::path& mendrix) {
  std::vector<std::string> inputs = options.OldPaths;
  inputs.push_back(options.NewPath);
  if (!options.NoticeFile.empty()) inputs.push_back(options.NoticeFile);
  if (options.SelfApplying) inputs.push_back(mendrix.string());
  return inputs;
}

// The notice and the backup name, as the patch holds them.
bool TakeTexts(const TMakeOptions& options, TWriterPatch& patch, std::string& error) {
  if (!options.NoticeFile.empty()) {
    std::ifstream in(options.NoticeFile, std::ios::binary);
    if (!in) {
      error = "Error, can't read notice file \"" + options.NoticeFile + "\"!";
      return false;
    }
    patch.Notice = NoticeFromText(std::string(std::istreambuf_iterator<char>(in), {}));
    if (patch.Notice.size() > MaxNoticeLength) {
      error = "Error, the notice is longer than 65535 bytes!";
      return false;
    }
  }
  patch.BackupName = options.BackupName;
  std::replace(patch.BackupName.begin(), patch.BackupName.end(), '/', '\\');
  if (!IsUsableBackupName(patch.BackupName)) {
    error = "Error, the backup directory name \"" + options.BackupName +
            "\" can't be used: it must be a relative path of 1 to 255 bytes whose "
            "parts are not \"..\", nor made only of dots and spaces!";
    return false;
  }
  return true;
}

// The regions of target (read by readTarget) in source. The index is built
// before the target is read, since building takes the most memory, and goes
// before the planning. The index is built and the regions found on jobs
// threads.
template <typename TRead>
bool MatchVersions(const std::vector<std::uint8_t>& source, const TRead& readTarget,
                   const fs::path& newFile, TProgress& progress, int jobs,
                   std::vector<std::uint8_t>& target, std::vector<TAlignedRegion>& regions,
                   std::string& error) {
  const TSourceIndex index(source, &progress, jobs);
  if (!index.Built()) {
    error = "Error, out of memory: the suffix sorter failed (code " +
            std::to_string(index.SorterResult()) + ") on a version of \"" +
            newFile.filename().string() + "\"!";
    return false;
  }
  if (!readTarget(target, error)) return false;
  regions = FindRegions(index, source, target, &progress, jobs);
  return true;
}

TWriterVariant VariantOf(const TChainSource& from, const std::string& entryName, TDeltaPlan& plan) {
  TWriterVariant variant;
  variant.Name = from.Name == entryName ? "" : from.Name;
  variant.Info.SourceCrc = from.Digest.Crc;
  variant.Info.SourceSize = static_cast<std::uint32_t>(from.Digest.Size);
  variant.Info.GroupLength = plan.Params.GroupLength;
  variant.Info.VariantFlags = plan.Params.VariantFlags;
  variant.Info.BlockLength = plan.Params.BlockLength;
  variant.Streams = std::move(plan.Streams);
  return variant;
}

// A file entry whose variants' sources are read by readSource, oldest
// first, and whose result is the new file; each variant made on jobs
// threads, the same for any number.
template <typename TRead>
bool MakeFileEntry(const std::vector<TChainSource>& chain, const fs::path& newFile,
                   TProgress& progress, int jobs, const TRead& readSource, TWriterEntry& entry,
                   std::string& error) {
  std::vector<std::uint8_t> source;
  for (std::size_t k = 0; k < chain.size(); ++k) {
    progress.StartVariant(static_cast<std::int64_t>(k), static_cast<std::int64_t>(chain.size()));
    if (k == 0 && !readSource(chain[k], source, error)) return false;
    const auto readTarget = [&](std::vector<std::uint8_t>& bytes, std::string& readError) {
      return k + 1 == chain.size() ? ReadWholeFile(newFile, bytes, readError)
                                   : readSource(chain[k + 1], bytes, readError);
    };
    std::vector<std::uint8_t> target;
    std::vector<TAlignedRegion> regions;
    if (!MatchVersions(source, readTarget, newFile, progress, jobs, target, regions, error)) {
      return false;
    }
    TDeltaPlan plan = MakeDelta(source, target, regions, &progress, jobs);
    if (!plan.Error.empty()) {
      error = "Error, can't write the delta of a version of \"" + newFile.filename().string() +
              "\": " + plan.Error + "!";
      return false;
    }
    entry.Variants.push_back(VariantOf(chain[k], entry.Name, plan));
    source = std::move(target);
  }
  return true;
}

// Threads at work: -j, or one per processor.
int JobCount(const TMakeOptions& options) {
  if (options.Jobs > 0) return std::min(options.Jobs, MaxJobs);
  const unsigned processors = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(processors, 1u, static_cast<unsigned>(MaxJobs)));
}

// The one entry of a single-file patch.
bool MakeFilePatch(const TMakeJob& job, std::string& error) {
  const TMakeOptions& options = job.Options;
  job.Patch.PatchKind = 1;
  std::vector<TChainSource> sources;
  for (std::size_t i = 0; i < options.OldPaths.size(); ++i) {
    TFileDigest digest;
    if (!DigestFile(options.OldPaths[i], digest, error)) return false;
    sources.push_back({i, "", digest});
  }
  TFileDigest result;
  if (!DigestFile(options.NewPath, result, error)) return false;
  const std::vector<TChainSource> chain = BuildChain(sources, result, "");
  if (chain.empty()) {
    error = "Error, nothing to patch: the new file equals every old file!";
    return false;
  }
  TWriterEntry entry;
  entry.Info.ResultCrc = result.Crc;
  entry.Info.ResultSize = static_cast<std::uint32_t>(result.Size);
  std::error_code code;
  entry.Info.ResultTime = FileDosTime(fs::last_write_time(options.NewPath, code));
  const auto readOld = [&](const TChainSource& source, std::vector<std::uint8_t>& out,
                           std::string& readError) {
    return ReadWholeFile(options.OldPaths[source.OldIndex], out, readError);
  };
  const std::int64_t work = ChainWork(chain, result.Size);
  job.Progress.StartRun(1, work);
  job.Progress.StartFile(fs::path(options.NewPath).filename().string(), work);
  if (!MakeFileEntry(chain, options.NewPath, job.Progress, JobCount(options), readOld, entry,
                     error)) {
    return false;
  }
  job.Progress.FinishFile();
  ReportEntry(job, "", entry);
  job.Patch.Entries.push_back(std::move(entry));
  return true;
}

// Reads the old file a chain starts from, in one of the old trees.
struct TOldTreeReader {
  const std::vector<TTree>& Olds;
  bool operator()(const TChainSource& source, std::vector<std::uint8_t>& out,
                  std::string& error) const {
    return ReadWholeFile(Olds[source.OldIndex].Files.at(source.Name).Path, out, error);
  }
};

// The entry of a tree patch for one planned entry, made on jobs threads.
bool MakeTreeEntry(const TEntryPlan& planned, const TTree& newTree, const TOldTreeReader& readOld,
                   TProgress& progress, int jobs, TWriterEntry& entry, std::string& error) {
  const TTreeFile& newFile = newTree.Files.at(planned.Name);
  entry.Name = planned.Name;
  if (planned.Embedded) {
    entry.Type = EmbeddedEntryType;
    entry.EmbeddedTime = newFile.DosTime;
    return ReadWholeFile(newFile.Path, entry.Content, error);
  }
  entry.Info.ResultCrc = newFile.Digest.Crc;
  entry.Info.ResultSize = static_cast<std::uint32_t>(newFile.Digest.Size);
  entry.Info.ResultTime = newFile.DosTime;
  return MakeFileEntry(planned.Chain, newFile.Path, progress, jobs, readOld, entry, error);
}

// What a worker hands back for one entry.
struct TMadeEntry {
  bool Done = false;
  bool Made = false;
  TWriterEntry Entry;
  std::string Error;
};

// The entries made by jobs threads at once, each taking the next entry not
// yet taken. Each entry is made exactly as one thread makes it, and they are
// handed on in plan order: the patch is the same for any number of threads.
// deliver(i, made) is called on this thread for every entry in turn, and
// false from it (or a failed entry) ends the run: the threads stop taking.
template <typename TDeliver>
void MakeEntriesAtOnce(const TTreePlan& plan, const TTree& newTree, const TOldTreeReader& readOld,
                       int jobs, const TDeliver& deliver) {
  const std::size_t count = plan.Entries.size();
  std::vector<TMadeEntry> made(count);
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  const auto work = [&] {
    TProgress silent(false);
    for (std::size_t i = next++; i < count && !stop; i = next++) {
      TMadeEntry entry;
      entry.Made =
          MakeTreeEntry(plan.Entries[i], newTree, readOld, silent, 1, entry.Entry, entry.Error);
      entry.Done = true;
      const std::lock_guard<std::mutex> guard(lock);
      made[i] = std::move(entry);
      changed.notify_all();
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < jobs; ++t) threads.emplace_back(work);
  for (std::size_t i = 0; i < count; ++i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return made[i].Done; });
    TMadeEntry entry = std::move(made[i]);
    guard.unlock();
    if (!deliver(i, entry)) {
      stop = true;
      break;
    }
  }
  for (std::thread& thread : threads) thread.join();
}

// The entries of a tree patch, one a planned entry; jobs of them at once,
// or a lone entry made on the jobs threads.
bool AddTreeEntries(const TMakeJob& job, const std::vector<TTree>& olds, const TTree& newTree,
                    const TTreePlan& plan, int jobs, std::string& error) {
  const TOldTreeReader readOld{olds};
  const auto work = [&](const TEntryPlan& planned) {
    const TTreeFile& newFile = newTree.Files.at(planned.Name);
    return planned.Embedded ? static_cast<std::int64_t>(newFile.Digest.Size)
                            : ChainWork(planned.Chain, newFile.Digest.Size);
  };
  std::int64_t totalWork = 0;
  for (const TEntryPlan& planned : plan.Entries) totalWork += work(planned);
  job.Progress.StartRun(static_cast<std::int64_t>(plan.Entries.size()), totalWork);
  const auto finish = [&](const TEntryPlan& planned, TWriterEntry& entry) {
    job.Progress.FinishFile();
    ReportEntry(job, planned.Name, entry);
    job.Patch.Entries.push_back(std::move(entry));
  };
  if (jobs <= 1 || plan.Entries.size() <= 1) {
    for (const TEntryPlan& planned : plan.Entries) {
      job.Progress.StartFile(planned.Name, work(planned));
      TWriterEntry entry;
      if (!MakeTreeEntry(planned, newTree, readOld, job.Progress, jobs, entry, error)) {
        return false;
      }
      finish(planned, entry);
    }
    return true;
  }
  bool made = true;
  MakeEntriesAtOnce(plan, newTree, readOld, jobs, [&](std::size_t i, TMadeEntry& entry) {
    const TEntryPlan& planned = plan.Entries[i];
    job.Progress.StartFile(planned.Name, work(planned));
    if (!entry.Made) {
      error = entry.Error;
      made = false;
      return false;
    }
    finish(planned, entry.Entry);
    return true;
  });
  return made;
}

// A tree patch: the trees read, their differences planned and made.
bool MakeTreePatch(const TMakeJob& job, std::string& error) {
  const TMakeOptions& options = job.Options;
  job.Patch.PatchKind = TreePatchKind;
  std::vector<TTree> olds(options.OldPaths.size());
  for (std::size_t i = 0; i < olds.size(); ++i) {
    if (!ScanTree(options.OldPaths[i], olds[i], error)) return false;
  }
  TTree newTree;
  if (!ScanTree(options.NewPath, newTree, error)) return false;
  const TTreePlan plan = PlanTree(olds, newTree);
  for (const std::string& warning : plan.Warnings) Warn(job.Progress, warning);
  if (!AddTreeEntries(job, olds, newTree, plan, JobCount(job.Options), error)) return false;
  if (plan.Entries.empty()) {
    Warn(job.Progress, "the old and new versions are identical; the patch changes nothing.");
  }
  return true;
}

// Writes the patch, after a copy of the Mendrix program for a
// self-applying one; patchSize receives the patch's own bytes.
bool WriteOutput(const TMakeOptions& options, const fs::path& mendrix, const TWriterPatch& patch,
                 std::size_t& patchSize, std::string& error) {
  std::vector<std::uint8_t> out;
  if (options.SelfApplying && !ReadWholeFile(mendrix, out, error)) {
    error = "Error, can't read the Mendrix program \"" + mendrix.string() + "\"!";
    return false;
  }
  const std::size_t programSize = out.size();
  if (!WritePatch(patch, out, error)) {
    error = "Error, " + error;
    return false;
  }
  if (!WritePatchFile(options.PatchName, out, options.Force, options.SelfApplying, error)) {
    return false;
  }
  patchSize = out.size() - programSize;
  return true;
}

}  // namespace

std::string NoticeFromText(const std::string& text) {
  std::string notice;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    notice.push_back(text[i] == '\n' ? '\0' : text[i]);
  }
  return notice;
}

int MakePatch(const TMakeOptions& options) {
  // On a terminal only, and gone before any message.
  TProgress progress(!options.Quiet && OsConsoleIsTerminal());
  const auto fail = [&](const std::string& message) {
    progress.Clear();
    ConsoleWriteLn(message);
    return 1;
  };
  std::string error;
  bool treeMode = false;
  if (!CheckVersions(options, treeMode, error)) return fail(error);
  const fs::path mendrix = MendrixProgram(options);
  if (!CheckPatchOutput(options.PatchName, AllInputs(options, mendrix), options.Force, error)) {
    return fail(error);
  }
  TWriterPatch patch;
  if (!TakeTexts(options, patch, error)) return fail(error);
  const TMakeJob job{options, progress, patch};
  if (!(treeMode ? MakeTreePatch(job, error) : MakeFilePatch(job, error))) return fail(error);
  std::size_t patchSize = 0;
  if (!WriteOutput(options, mendrix, patch, patchSize, error)) return fail(error);
  progress.Clear();
  if (!options.Quiet) {
    OutWriteLn("Patch \"" + options.PatchName + "\" written: " + std::to_string(patchSize) +
               " bytes, " + std::to_string(patch.Entries.size()) +
               (patch.Entries.size() == 1 ? " entry." : " entries."));
  }
  return 0;
}

}  // namespace mendrix
