#include "generator/make_patch.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>

#include "console/console.h"
#include "generator/delta_maker.h"
#include "generator/dos_time.h"
#include "generator/patch_output.h"
#include "generator/progress.h"
#include "generator/tree_diff.h"
#include "patchfile/container.h"
#include "platform/platform.h"
#include "writer/patch_writer.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxNoticeLength = 65535;

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

// A file entry whose variants' sources are read by readSource, oldest
// first, and whose result is the new file.
template <typename TRead>
bool MakeFileEntry(const std::vector<TChainSource>& chain, const fs::path& newFile,
                   TProgress& progress, const TRead& readSource, TWriterEntry& entry,
                   std::string& error) {
  std::vector<std::uint8_t> source;
  std::vector<std::uint8_t> target;
  for (std::size_t k = 0; k < chain.size(); ++k) {
    progress.StartVariant(static_cast<std::int64_t>(k), static_cast<std::int64_t>(chain.size()));
    if (k == 0) {
      if (!readSource(chain[k], source, error)) return false;
    } else {
      source = std::move(target);
    }
    const bool last = k + 1 == chain.size();
    TWriterVariant variant;
    variant.Info.SourceCrc = chain[k].Digest.Crc;
    variant.Info.SourceSize = static_cast<std::uint32_t>(chain[k].Digest.Size);
    TDeltaParams params;
    std::vector<TAlignedRegion> regions;
    {
      // The index is built before the target is read, since building takes
      // the most memory, and goes before the planning.
      const TSourceIndex index(source, &progress);
      if (!index.Built()) {
        error = "Error, out of memory: the suffix sorter failed (code " +
                std::to_string(index.SorterResult()) + ") on a version of \"" +
                newFile.filename().string() + "\"!";
        return false;
      }
      if (!(last ? ReadWholeFile(newFile, target, error) : readSource(chain[k + 1], target, error))) {
        return false;
      }
      regions = FindRegions(index, source, target, &progress);
    }
    MakeDelta(source, target, regions, &progress, params, variant.Streams);
    variant.Info.GroupLength = params.GroupLength;
    variant.Info.VariantFlags = params.VariantFlags;
    variant.Info.BlockLength = params.BlockLength;
    variant.Name = chain[k].Name == entry.Name ? "" : chain[k].Name;
    entry.Variants.push_back(std::move(variant));
  }
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
  std::error_code code;
  std::string error;
  TWriterPatch patch;
  // On a terminal only, and gone before any message.
  TProgress progress(!options.Quiet && OsConsoleIsTerminal());
  const auto fail = [&](const std::string& message) {
    progress.Clear();
    ConsoleWriteLn(message);
    return 1;
  };
  const auto report = [&](const std::string& name, const TWriterEntry& entry) {
    if (!options.Verbose) return;
    progress.Clear();
    const std::string shown = name.empty() ? "\"" + fs::path(options.NewPath).filename().string() + "\""
                                           : "\"" + name + "\"";
    if (entry.Type == EmbeddedEntryType) {
      OutWriteLn(shown + ": embedded, " + std::to_string(entry.Content.size()) + " bytes.");
    } else {
      OutWriteLn(shown + ": " + std::to_string(entry.Variants.size()) +
                 (entry.Variants.size() == 1 ? " variant, " : " variants, ") +
                 std::to_string(DeltaBytes(entry)) + " bytes of delta.");
    }
  };

  // The paths: all files, or all directories.
  std::vector<std::string> inputs = options.OldPaths;
  inputs.push_back(options.NewPath);
  int directories = 0;
  for (const std::string& input : inputs) {
    const fs::file_status status = fs::status(input, code);
    if (fs::is_directory(status)) {
      ++directories;
    } else if (!fs::is_regular_file(status)) {
      return fail("Error, can't read \"" + input + "\"!");
    }
  }
  if (directories != 0 && directories != static_cast<int>(inputs.size())) {
    return fail("Error, the old and new versions must be all files or all directories!");
  }
  const bool treeMode = directories != 0;
  for (const std::string& old : options.OldPaths) {
    if (fs::equivalent(old, options.NewPath, code) && !code) {
      return fail("Error, \"" + old + "\" and \"" + options.NewPath + "\" are the same " +
                  (treeMode ? "directory" : "file") + "; give an older version!");
    }
  }

  fs::path mendrix = options.MendrixPath;
  if (options.SelfApplying && mendrix.empty()) {
    const fs::path self = OsProgramPath();
    mendrix = self.parent_path() / ("mendrix" + self.extension().string());
  }
  // Every file read is an input that the patch must not replace.
  if (!options.NoticeFile.empty()) inputs.push_back(options.NoticeFile);
  if (options.SelfApplying) inputs.push_back(mendrix.string());
  if (!CheckPatchOutput(options.PatchName, inputs, options.Force, error)) return fail(error);

  if (!options.NoticeFile.empty()) {
    std::ifstream in(options.NoticeFile, std::ios::binary);
    if (!in) return fail("Error, can't read notice file \"" + options.NoticeFile + "\"!");
    patch.Notice = NoticeFromText(std::string(std::istreambuf_iterator<char>(in), {}));
    if (patch.Notice.size() > MaxNoticeLength) {
      return fail("Error, the notice is longer than 65535 bytes!");
    }
  }
  patch.BackupName = options.BackupName;
  std::replace(patch.BackupName.begin(), patch.BackupName.end(), '/', '\\');
  if (!IsUsableBackupName(patch.BackupName)) {
    return fail("Error, the backup directory name \"" + options.BackupName +
                "\" can't be used: it must be a relative path of 1 to 255 bytes whose "
                "parts are not \"..\", nor made only of dots and spaces!");
  }

  if (!treeMode) {
    patch.PatchKind = 1;
    std::vector<TChainSource> sources;
    for (std::size_t i = 0; i < options.OldPaths.size(); ++i) {
      TFileDigest digest;
      if (!DigestFile(options.OldPaths[i], digest, error)) return fail(error);
      sources.push_back({i, "", digest});
    }
    TFileDigest result;
    if (!DigestFile(options.NewPath, result, error)) return fail(error);
    const std::vector<TChainSource> chain = BuildChain(sources, result, "");
    if (chain.empty()) return fail("Error, nothing to patch: the new file equals every old file!");
    TWriterEntry entry;
    entry.Info.ResultCrc = result.Crc;
    entry.Info.ResultSize = static_cast<std::uint32_t>(result.Size);
    entry.Info.ResultTime = FileDosTime(fs::last_write_time(options.NewPath, code));
    const auto readOld = [&](const TChainSource& source, std::vector<std::uint8_t>& out,
                             std::string& readError) {
      return ReadWholeFile(options.OldPaths[source.OldIndex], out, readError);
    };
    const std::int64_t work = ChainWork(chain, result.Size);
    progress.StartRun(1, work);
    progress.StartFile(fs::path(options.NewPath).filename().string(), work);
    if (!MakeFileEntry(chain, options.NewPath, progress, readOld, entry, error)) {
      return fail(error);
    }
    progress.FinishFile();
    report("", entry);
    patch.Entries.push_back(std::move(entry));
  } else {
    patch.PatchKind = TreePatchKind;
    std::vector<TTree> olds(options.OldPaths.size());
    for (std::size_t i = 0; i < olds.size(); ++i) {
      if (!ScanTree(options.OldPaths[i], olds[i], error)) return fail(error);
    }
    TTree newTree;
    if (!ScanTree(options.NewPath, newTree, error)) return fail(error);
    const TTreePlan plan = PlanTree(olds, newTree);
    for (const std::string& warning : plan.Warnings) Warn(progress, warning);
    const auto readOld = [&](const TChainSource& source, std::vector<std::uint8_t>& out,
                             std::string& readError) {
      return ReadWholeFile(olds[source.OldIndex].Files.at(source.Name).Path, out, readError);
    };
    const auto work = [&](const TEntryPlan& planned) {
      const TTreeFile& newFile = newTree.Files.at(planned.Name);
      return planned.Embedded ? static_cast<std::int64_t>(newFile.Digest.Size)
                              : ChainWork(planned.Chain, newFile.Digest.Size);
    };
    std::int64_t totalWork = 0;
    for (const TEntryPlan& planned : plan.Entries) totalWork += work(planned);
    progress.StartRun(static_cast<std::int64_t>(plan.Entries.size()), totalWork);
    for (const TEntryPlan& planned : plan.Entries) {
      const TTreeFile& newFile = newTree.Files.at(planned.Name);
      progress.StartFile(planned.Name, work(planned));
      TWriterEntry entry;
      entry.Name = planned.Name;
      if (planned.Embedded) {
        entry.Type = EmbeddedEntryType;
        entry.EmbeddedTime = newFile.DosTime;
        if (!ReadWholeFile(newFile.Path, entry.Content, error)) return fail(error);
      } else {
        entry.Info.ResultCrc = newFile.Digest.Crc;
        entry.Info.ResultSize = static_cast<std::uint32_t>(newFile.Digest.Size);
        entry.Info.ResultTime = newFile.DosTime;
        if (!MakeFileEntry(planned.Chain, newFile.Path, progress, readOld, entry, error)) {
          return fail(error);
        }
      }
      progress.FinishFile();
      report(planned.Name, entry);
      patch.Entries.push_back(std::move(entry));
    }
    if (plan.Entries.empty()) {
      Warn(progress, "the old and new versions are identical; the patch changes nothing.");
    }
  }

  std::vector<std::uint8_t> out;
  if (options.SelfApplying && !ReadWholeFile(mendrix, out, error)) {
    return fail("Error, can't read the Mendrix program \"" + mendrix.string() + "\"!");
  }
  const std::size_t programSize = out.size();
  if (!WritePatch(patch, out, error)) return fail("Error, " + error);
  if (!WritePatchFile(options.PatchName, out, options.Force, options.SelfApplying, error)) {
    return fail(error);
  }
  progress.Clear();
  if (!options.Quiet) {
    OutWriteLn("Patch \"" + options.PatchName + "\" written: " +
               std::to_string(out.size() - programSize) + " bytes, " +
               std::to_string(patch.Entries.size()) +
               (patch.Entries.size() == 1 ? " entry." : " entries."));
  }
  return 0;
}

}  // namespace mendrix
