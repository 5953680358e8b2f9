// Builds the demo: a tree patch that brings "Sample Tools" 1.0 or 1.1 to 2.0,
// and the old tree it is meant for. Both are kept in the repository; this
// program makes them again, or checks that the kept copies are what it makes.
//
//   make_demo OUTDIR          writes OUTDIR/demo.pat and OUTDIR/old/
//   make_demo --check DIR     exit 0 when DIR/demo.pat and DIR/old/ match
//
// The patch has three file entries with two variants each (1.0 -> 1.1 and
// 1.1 -> 2.0): one in a subdirectory, one renamed between the versions (its
// variants name the old file), and one embedded file. The old tree mixes the
// versions: readme.txt is at 1.1, the rest at 1.0.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "writer/delta_encoder.h"
#include "writer/patch_writer.h"

namespace {

using namespace mendrix;
using TBytes = std::vector<std::uint8_t>;

constexpr std::uint8_t DemoBlockLength = 20;

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

// DOS date-time: date in the high 16 bits, time (two-second steps) in the low.
std::uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second) {
  const std::uint32_t date = static_cast<std::uint32_t>((year - 1980) << 9 | month << 5 | day);
  const std::uint32_t time = static_cast<std::uint32_t>(hour << 11 | minute << 5 | second / 2);
  return date << 16 | time;
}

std::uint32_t Checksum(const TBytes& bytes) {
  return CrcUpdate(CrcStart, bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

// A delta that keeps the common start and end of the two versions and
// inserts what lies between them.
std::vector<TDeltaOp> PrefixSuffixOps(const TBytes& source, const TBytes& target) {
  std::size_t prefix = 0;
  while (prefix < source.size() && prefix < target.size() && source[prefix] == target[prefix]) {
    ++prefix;
  }
  std::size_t suffix = 0;
  while (suffix < source.size() - prefix && suffix < target.size() - prefix &&
         source[source.size() - 1 - suffix] == target[target.size() - 1 - suffix]) {
    ++suffix;
  }
  std::vector<TDeltaOp> ops;
  if (prefix > 0) ops.push_back(TDeltaOp::Copy(static_cast<std::int32_t>(prefix), 0));
  if (target.size() > prefix + suffix) {
    TBytes middle(target.begin() + static_cast<std::ptrdiff_t>(prefix),
                  target.end() - static_cast<std::ptrdiff_t>(suffix));
    ops.push_back(TDeltaOp::Insert(std::move(middle), true, DemoBlockLength));
  }
  if (suffix > 0) {
    // Offsets count from the end of the previous copy's run.
    const std::int64_t from = static_cast<std::int64_t>(source.size() - suffix);
    ops.push_back(
        TDeltaOp::Copy(static_cast<std::int32_t>(suffix),
                       static_cast<std::int32_t>(from - static_cast<std::int64_t>(prefix))));
  }
  return ops;
}

bool AddVariant(TWriterEntry& entry, const std::string& name, const TBytes& source,
                const TBytes& target) {
  TWriterVariant variant;
  variant.Name = name;
  variant.Info.SourceCrc = Checksum(source);
  variant.Info.SourceSize = static_cast<std::uint32_t>(source.size());
  TDeltaParams params;
  params.GroupLength = 190;
  params.VariantFlags = VariantAddModeOff;
  params.BlockLength = DemoBlockLength;
  params.NumberLimit = NumberLimitFor(params.VariantFlags, static_cast<std::int32_t>(source.size()),
                                      static_cast<std::int32_t>(target.size()));
  variant.Info.GroupLength = params.GroupLength;
  variant.Info.VariantFlags = params.VariantFlags;
  variant.Info.BlockLength = params.BlockLength;
  std::string error;
  if (!EncodeDelta(PrefixSuffixOps(source, target), params, variant.Streams, error)) {
    std::fprintf(stderr, "make_demo: %s\n", error.c_str());
    return false;
  }
  entry.Variants.push_back(std::move(variant));
  return true;
}

// Three versions of a file; oldName is its name in 1.0 and 1.1 ("" = same).
struct TDemoFile {
  std::string Name;  // name in 2.0, with backslashes
  std::string OldName;
  TBytes V10, V11, V20;
  bool OldTreeAt11 = false;  // which version the demo's old tree holds
};

// Deterministic bytes standing in for a program's data file.
TBytes ToolData(std::uint32_t seed, std::size_t size) {
  TBytes bytes(size);
  std::uint32_t state = seed;
  for (auto& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  return bytes;
}

std::vector<TDemoFile> DemoFiles() {
  std::vector<TDemoFile> files;

  TDemoFile readme;
  readme.Name = "readme.txt";
  const std::string intro =
      "\n\nA small set of tools that shows how Mendrix patches a directory tree.\n";
  readme.V10 = Text("Sample Tools 1.0" + intro + "Run tool to start.\n");
  readme.V11 =
      Text("Sample Tools 1.1" + intro + "Run tool to start.\nFixed: the start-up message.\n");
  readme.V20 =
      Text("Sample Tools 2.0" + intro + "Run tool to start; changes.txt tells what is new.\n");
  readme.OldTreeAt11 = true;
  files.push_back(readme);

  TDemoFile tool;
  tool.Name = "bin\\tool.dat";
  tool.V10 = ToolData(1, 3000);
  tool.V11 = tool.V10;
  for (std::size_t i = 1200; i < 1264; ++i) tool.V11[i] ^= 0x5A;  // a patched table
  tool.V20 = tool.V11;
  const TBytes appended = ToolData(2, 700);
  tool.V20.insert(tool.V20.end(), appended.begin(), appended.end());
  tool.V20[0] = 2;  // format version in the first byte
  files.push_back(tool);

  TDemoFile changes;
  changes.Name = "changes.txt";
  changes.OldName = "notes.txt";
  changes.V10 = Text("Changes\n\n1.0  first release\n");
  changes.V11 = Text("Changes\n\n1.1  start-up message fixed\n1.0  first release\n");
  changes.V20 = Text(
      "Changes\n\n2.0  new tool format; notes.txt is now changes.txt\n"
      "1.1  start-up message fixed\n1.0  first release\n");
  files.push_back(changes);
  return files;
}

const char* const EmbeddedName = "docs\\welcome.txt";
const char* const EmbeddedText = "Welcome to Sample Tools 2.0.\nThis file came with the patch.\n";

bool BuildDemoPatch(TBytes& out) {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.Notice = std::string("Sample Tools 2.0 update") + '\0' +
                 "Brings Sample Tools 1.0 or 1.1 to 2.0." + '\0' +
                 "Replaced files are kept in the folder Backup." + '\0' + "#%de" + '\0' +
                 "Bringt Sample Tools 1.0 oder 1.1 auf 2.0." + '\0';
  patch.BackupName = "Backup";
  const std::uint32_t releaseTime = DosStamp(2024, 6, 1, 10, 0, 0);
  for (const TDemoFile& file : DemoFiles()) {
    TWriterEntry entry;
    entry.Type = FileEntryType;
    entry.Name = file.Name;
    entry.Info.ResultCrc = Checksum(file.V20);
    entry.Info.ResultSize = static_cast<std::uint32_t>(file.V20.size());
    entry.Info.ResultTime = releaseTime;
    if (!AddVariant(entry, file.OldName, file.V10, file.V11) ||
        !AddVariant(entry, file.OldName, file.V11, file.V20)) {
      return false;
    }
    patch.Entries.push_back(std::move(entry));
  }
  TWriterEntry embedded;
  embedded.Type = EmbeddedEntryType;
  embedded.Name = EmbeddedName;
  embedded.EmbeddedTime = releaseTime;
  embedded.Content = Text(EmbeddedText);
  patch.Entries.push_back(std::move(embedded));

  std::string error;
  if (!WritePatch(patch, out, error)) {
    std::fprintf(stderr, "make_demo: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The old tree: relative path (with slashes) and content.
std::vector<std::pair<std::string, TBytes>> OldTree() {
  std::vector<std::pair<std::string, TBytes>> tree;
  for (const TDemoFile& file : DemoFiles()) {
    std::string name = file.OldName.empty() ? file.Name : file.OldName;
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    tree.emplace_back(name, file.OldTreeAt11 ? file.V11 : file.V10);
  }
  return tree;
}

TBytes ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return TBytes(std::istreambuf_iterator<char>(in), {});
}

bool WriteAll(const std::filesystem::path& path, const TBytes& bytes) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  return WriteBytesToFile(path.string(), bytes);
}

int Check(const std::filesystem::path& dir, const TBytes& patch) {
  int result = 0;
  if (ReadAll(dir / "demo.pat") != patch) {
    std::fprintf(stderr, "make_demo: %s differs from what make_demo makes\n",
                 (dir / "demo.pat").string().c_str());
    result = 1;
  }
  for (const auto& [name, bytes] : OldTree()) {
    if (ReadAll(dir / "old" / name) != bytes) {
      std::fprintf(stderr, "make_demo: old/%s differs\n", name.c_str());
      result = 1;
    }
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  TBytes patch;
  if (!BuildDemoPatch(patch)) return 1;
  if (argc == 3 && std::string(argv[1]) == "--check") return Check(argv[2], patch);
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo OUTDIR | make_demo --check DIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  bool ok = WriteAll(dir / "demo.pat", patch);
  for (const auto& [name, bytes] : OldTree()) ok = WriteAll(dir / "old" / name, bytes) && ok;
  if (!ok) {
    std::fprintf(stderr, "make_demo: can't write into %s\n", dir.string().c_str());
    return 1;
  }
  return 0;
}
