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
#include "generator/tree_diff.h"
#include "platform/platform.h"
#include "writer/patch_writer.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t MaxNoticeLength = 65535;

int Fail(const std::string& message) {
  ConsoleWriteLn(message);
  return 1;
}

void Warn(const std::string& message) { ConsoleWriteLn("Warning: " + message); }

// A file entry whose variants' sources are read by readSource, oldest
// first, and whose result is the new file.
template <typename TRead>
bool MakeFileEntry(const std::vector<TChainSource>& chain, const fs::path& newFile,
                   const std::string& label, const TRead& readSource, TWriterEntry& entry,
                   std::string& error) {
  std::vector<std::uint8_t> source;
  std::vector<std::uint8_t> target;
  for (std::size_t k = 0; k < chain.size(); ++k) {
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
      const TSourceIndex index(source, label);
      if (!(last ? ReadWholeFile(newFile, target, error) : readSource(chain[k + 1], target, error))) {
        return false;
      }
      regions = FindRegions(index, source, target, label);
    }
    MakeDelta(source, target, regions, label, params, variant.Streams);
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

  // The paths: all files, or all directories.
  std::vector<std::string> inputs = options.OldPaths;
  inputs.push_back(options.NewPath);
  int directories = 0;
  for (const std::string& input : inputs) {
    const fs::file_status status = fs::status(input, code);
    if (fs::is_directory(status)) {
      ++directories;
    } else if (!fs::is_regular_file(status)) {
      return Fail("Error, can't read \"" + input + "\"!");
    }
  }
  if (directories != 0 && directories != static_cast<int>(inputs.size())) {
    return Fail("Error, the old and new versions must be all files or all directories!");
  }
  const bool treeMode = directories != 0;

  if (!options.NoticeFile.empty()) {
    std::ifstream in(options.NoticeFile, std::ios::binary);
    if (!in) return Fail("Error, can't read notice file \"" + options.NoticeFile + "\"!");
    patch.Notice = NoticeFromText(std::string(std::istreambuf_iterator<char>(in), {}));
    if (patch.Notice.size() > MaxNoticeLength) {
      return Fail("Error, the notice is longer than 65535 bytes!");
    }
  }
  patch.BackupName = options.BackupName;
  std::replace(patch.BackupName.begin(), patch.BackupName.end(), '/', '\\');
  {
    const std::string& name = patch.BackupName;
    const bool parent = name == ".." || name.starts_with("..\\") || name.ends_with("\\..") ||
                        name.find("\\..\\") != std::string::npos;
    if (name.empty() || name.size() > MaxNameLength || name[0] == '\\' ||
        name.find(':') != std::string::npos || parent) {
      return Fail("Error, the backup directory name must be a relative path of 1 to 255 bytes "
                  "without \"..\"!");
    }
  }

  const std::string progressLabel =
      options.Quiet ? "" : fs::path(options.NewPath).filename().string();
  if (!treeMode) {
    patch.PatchKind = 1;
    std::vector<TChainSource> sources;
    for (std::size_t i = 0; i < options.OldPaths.size(); ++i) {
      TFileDigest digest;
      if (!DigestFile(options.OldPaths[i], digest, error)) return Fail(error);
      sources.push_back({i, "", digest});
    }
    TFileDigest result;
    if (!DigestFile(options.NewPath, result, error)) return Fail(error);
    const std::vector<TChainSource> chain = BuildChain(sources, result, "");
    if (chain.empty()) return Fail("Error, nothing to patch: the new file equals every old file!");
    TWriterEntry entry;
    entry.Info.ResultCrc = result.Crc;
    entry.Info.ResultSize = static_cast<std::uint32_t>(result.Size);
    entry.Info.ResultTime = FileDosTime(fs::last_write_time(options.NewPath, code));
    const auto readOld = [&](const TChainSource& source, std::vector<std::uint8_t>& out,
                             std::string& readError) {
      return ReadWholeFile(options.OldPaths[source.OldIndex], out, readError);
    };
    if (!MakeFileEntry(chain, options.NewPath, progressLabel, readOld, entry, error)) {
      return Fail(error);
    }
    patch.Entries.push_back(std::move(entry));
  } else {
    patch.PatchKind = TreePatchKind;
    std::vector<TTree> olds(options.OldPaths.size());
    for (std::size_t i = 0; i < olds.size(); ++i) {
      if (!ScanTree(options.OldPaths[i], olds[i], error)) return Fail(error);
    }
    TTree newTree;
    if (!ScanTree(options.NewPath, newTree, error)) return Fail(error);
    const TTreePlan plan = PlanTree(olds, newTree);
    for (const std::string& warning : plan.Warnings) Warn(warning);
    const auto readOld = [&](const TChainSource& source, std::vector<std::uint8_t>& out,
                             std::string& readError) {
      return ReadWholeFile(olds[source.OldIndex].Files.at(source.Name).Path, out, readError);
    };
    for (const TEntryPlan& planned : plan.Entries) {
      const TTreeFile& newFile = newTree.Files.at(planned.Name);
      TWriterEntry entry;
      entry.Name = planned.Name;
      if (planned.Embedded) {
        entry.Type = EmbeddedEntryType;
        entry.EmbeddedTime = newFile.DosTime;
        if (!ReadWholeFile(newFile.Path, entry.Content, error)) return Fail(error);
      } else {
        entry.Info.ResultCrc = newFile.Digest.Crc;
        entry.Info.ResultSize = static_cast<std::uint32_t>(newFile.Digest.Size);
        entry.Info.ResultTime = newFile.DosTime;
        const std::string label = options.Quiet ? "" : planned.Name;
        if (!MakeFileEntry(planned.Chain, newFile.Path, label, readOld, entry, error)) {
          return Fail(error);
        }
      }
      patch.Entries.push_back(std::move(entry));
    }
    if (plan.Entries.empty()) Warn("the old and new versions are identical; the patch changes nothing.");
  }

  std::vector<std::uint8_t> out;
  if (options.SelfApplying) {
    fs::path mendrix = options.MendrixPath;
    if (mendrix.empty()) {
      const fs::path self = OsProgramPath();
      mendrix = self.parent_path() / ("mendrix" + self.extension().string());
    }
    if (!ReadWholeFile(mendrix, out, error)) {
      return Fail("Error, can't read the Mendrix program \"" + mendrix.string() + "\"!");
    }
  }
  const std::size_t programSize = out.size();
  if (!WritePatch(patch, out, error)) return Fail("Error, " + error);
  {
    std::ofstream file(options.PatchName, std::ios::binary | std::ios::trunc);
    if (!file || !file.write(reinterpret_cast<const char*>(out.data()),
                             static_cast<std::streamsize>(out.size())) ||
        !file.flush()) {
      file.close();
      fs::remove(options.PatchName, code);
      return Fail("Error, can't write patch \"" + options.PatchName + "\"!");
    }
  }
  if (options.SelfApplying) {
    fs::permissions(options.PatchName,
                    fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, code);
  }
  OutWriteLn("Patch \"" + options.PatchName + "\" written: " +
             std::to_string(out.size() - programSize) + " bytes, " +
             std::to_string(patch.Entries.size()) + (patch.Entries.size() == 1 ? " entry." : " entries."));
  return 0;
}

}  // namespace mendrix
