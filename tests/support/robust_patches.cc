#include "support/robust_patches.h"

#include <algorithm>
#include <limits>
#include <map>

#include "checksum/checksum.h"
#include "delta/apply.h"
#include "patchfile/patch_format.h"
#include "writer/patch_writer.h"

namespace mendrix::test {

namespace {

TByteVector Pseudo(std::size_t count, std::uint32_t seed) {
  TByteVector bytes(count);
  std::uint32_t state = seed * 2654435761u + 1;
  for (auto& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state >> 11);
  }
  return bytes;
}

TByteVector Text(const std::string& text) { return TByteVector(text.begin(), text.end()); }

TByteVector Lines(const std::string& stem, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += stem + " " + std::to_string(i) + "\n";
  return Text(text);
}

std::uint32_t Checksum(const TByteVector& bytes, const TExcludeRange& exclude) {
  const auto size = static_cast<std::int64_t>(bytes.size());
  auto feed = [&](std::uint32_t value, std::int64_t from, std::int64_t to) {
    if (to <= from) return value;
    return CrcUpdate(value, bytes.data() + from, static_cast<std::int32_t>(to - from));
  };
  if (exclude.ExcludeLength == 0) return feed(CrcStart, 0, size);
  const std::int64_t start = std::min<std::int64_t>(exclude.ExcludeStart, size);
  const std::int64_t resume = std::int64_t{exclude.ExcludeStart} + exclude.ExcludeLength;
  return feed(feed(CrcStart, 0, start), resume, size);
}

// DOS date-time: 14 March 2001, 09:26:52.
constexpr std::uint32_t SeedStamp = ((2001u - 1980u) << 9 | 3u << 5 | 14u) << 16 |
                                    (9u << 11 | 26u << 5 | 52u / 2);

TDeltaOp InsertWithFlags(TByteVector bytes, std::vector<bool> flags) {
  TDeltaOp op;
  op.Kind = TOpKind::Insert;
  op.InsertBytes = std::move(bytes);
  op.PieceFlags = std::move(flags);
  return op;
}

struct TVariantPlan {
  std::string Name;  // tree patches: where the source is found; "" = entry name
  // The version the variant applies to: for variants before Start a version
  // that is not on disk, for Start the file on disk; later ones are filled in
  // with the previous variant's output.
  TByteVector Source;
  std::int64_t ClaimedSize = -1;  // SourceSize written when >= 0 (chained: not checked)
  TExcludeRange Exclude;
  std::vector<TDeltaOp> Ops;
  std::uint16_t GroupLength = 190;
  std::uint8_t Flags = VariantAddModeOff;
  std::uint8_t Block = 20;
};

struct TEntryPlan {
  std::string Name;
  std::vector<TVariantPlan> Variants;
  std::size_t Start = 0;  // the variant whose source is on disk
  std::uint16_t EntryFlags = 0;
  TExcludeRange Exclude;
  // An entry whose file is already the result: no variants, this result.
  bool AlreadyPatched = false;
  TByteVector Result;
};

std::int64_t WrittenSize(const TVariantPlan& plan) {
  return plan.ClaimedSize >= 0 ? plan.ClaimedSize : static_cast<std::int64_t>(plan.Source.size());
}

bool BuildFileEntry(TEntryPlan plan, TWriterEntry& entry, TByteVector& result, std::string& error) {
  entry = TWriterEntry();
  entry.Type = FileEntryType;
  entry.Name = plan.Name;
  entry.Info.ResultTime = SeedStamp;
  entry.Info.EntryFlags = plan.EntryFlags;
  entry.Exclude = plan.Exclude;
  const bool ranges = (plan.EntryFlags & EntryHasRanges) != 0;
  if (plan.AlreadyPatched) {
    result = plan.Result;
  } else {
    auto& variants = plan.Variants;
    const std::size_t count = variants.size();
    for (std::size_t k = plan.Start; k < count; ++k) {
      if (k > plan.Start) variants[k].Source = result;
      const std::int64_t limit = k + 1 < count && variants[k + 1].ClaimedSize >= 0
                                     ? variants[k + 1].ClaimedSize
                                     : std::numeric_limits<std::int64_t>::max();
      TByteVector output;
      if (!SimulateDelta(variants[k].Source, variants[k].Ops, variants[k].Flags, variants[k].Block,
                         limit, output, error)) {
        error = plan.Name + " variant " + std::to_string(k) + ": " + error;
        return false;
      }
      result = std::move(output);
    }
    for (std::size_t k = 0; k < count; ++k) {
      const TVariantPlan& variant = variants[k];
      const std::int64_t target =
          k + 1 < count ? WrittenSize(variants[k + 1]) : static_cast<std::int64_t>(result.size());
      TDeltaParams params;
      params.GroupLength = variant.GroupLength;
      params.VariantFlags = variant.Flags;
      params.BlockLength = variant.Block;
      params.NumberLimit = NumberLimitFor(variant.Flags,
                                          static_cast<std::int32_t>(variant.Source.size()),
                                          static_cast<std::int32_t>(target));
      TWriterVariant written;
      written.Name = variant.Name;
      written.Info.SourceSize = static_cast<std::uint32_t>(WrittenSize(variant));
      written.Info.SourceCrc = Checksum(variant.Source, ranges ? variant.Exclude : TExcludeRange());
      written.Info.GroupLength = variant.GroupLength;
      written.Info.VariantFlags = variant.Flags;
      written.Info.BlockLength = variant.Block;
      written.Exclude = variant.Exclude;
      if (!EncodeDelta(variant.Ops, params, written.Streams, error)) {
        error = plan.Name + " variant " + std::to_string(k) + ": " + error;
        return false;
      }
      entry.Variants.push_back(std::move(written));
    }
  }
  entry.Info.ResultSize = static_cast<std::uint32_t>(result.size());
  entry.Info.ResultCrc = Checksum(result, ranges ? plan.Exclude : TExcludeRange());
  return true;
}

TWriterEntry EmbeddedEntry(const std::string& name, TByteVector content) {
  TWriterEntry entry;
  entry.Type = EmbeddedEntryType;
  entry.Name = name;
  entry.EmbeddedTime = SeedStamp;
  entry.Content = std::move(content);
  return entry;
}

const TByteVector& TreeFile(const std::string& name) {
  static const std::vector<TNamedFile> tree = FixedOldTree();
  for (const TNamedFile& file : tree) {
    if (file.Name == name) return file.Bytes;
  }
  static const TByteVector none;
  return none;
}

// One tree patch: its entries in order, embedded ones given by name and
// content, file entries by plan.
struct TTreeItem {
  bool Embedded = false;
  std::string Name;
  TByteVector Content;
  TEntryPlan Plan;
};

TTreeItem Embedded(const std::string& name, TByteVector content) {
  TTreeItem item;
  item.Embedded = true;
  item.Name = name;
  item.Content = std::move(content);
  return item;
}

TTreeItem FileItem(TEntryPlan plan) {
  TTreeItem item;
  item.Name = plan.Name;
  item.Plan = std::move(plan);
  return item;
}

bool AddTreePatch(const std::string& name, const std::string& notice, const std::string& backup,
                  std::vector<TTreeItem> items, std::vector<TRobustPatch>& patches,
                  std::string& error) {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.Notice = notice;
  patch.BackupName = backup;
  std::map<std::string, TByteVector> files;
  for (const TNamedFile& file : FixedOldTree()) files[file.Name] = file.Bytes;
  for (TTreeItem& item : items) {
    if (item.Embedded) {
      patch.Entries.push_back(EmbeddedEntry(item.Name, item.Content));
      files[item.Name] = item.Content;
      continue;
    }
    TWriterEntry entry;
    TByteVector result;
    if (!BuildFileEntry(item.Plan, entry, result, error)) {
      error = name + ": " + error;
      return false;
    }
    patch.Entries.push_back(std::move(entry));
    auto old = files.find(item.Name);
    if (old != files.end() && old->second == result) continue;  // already patched
    if (old != files.end()) {
      const std::string backupName = backup + "\\" + item.Name;
      if (files.count(backupName) == 0) files[backupName] = old->second;
    }
    files[item.Name] = result;
  }
  TRobustPatch robust;
  robust.Name = name;
  robust.Tree = true;
  if (!WritePatch(patch, robust.Bytes, error)) {
    error = name + ": " + error;
    return false;
  }
  for (auto& [fileName, bytes] : files) robust.After.push_back({fileName, bytes});
  for (const TTreeItem& item : items) {
    if (!item.Embedded || item.Content.empty()) continue;
    auto at = std::search(robust.Bytes.begin(), robust.Bytes.end(), item.Content.begin(),
                          item.Content.end());
    robust.Embedded.push_back({static_cast<std::size_t>(at - robust.Bytes.begin()),
                               item.Content.size(), item.Name});
  }
  patches.push_back(std::move(robust));
  return true;
}

bool AddSinglePatch(const std::string& name, const std::string& notice, TEntryPlan plan,
                    std::vector<TRobustPatch>& patches, std::string& error,
                    const TByteVector& prefix = {}) {
  TWriterPatch patch;
  patch.PatchKind = 1;
  patch.Notice = notice;
  TWriterEntry entry;
  TByteVector result;
  if (!BuildFileEntry(std::move(plan), entry, result, error)) {
    error = name + ": " + error;
    return false;
  }
  patch.Entries.push_back(std::move(entry));
  TRobustPatch robust;
  robust.Name = name;
  robust.Bytes = prefix;
  if (!WritePatch(patch, robust.Bytes, error)) {
    error = name + ": " + error;
    return false;
  }
  robust.After.push_back({"", result});
  patches.push_back(std::move(robust));
  return true;
}

TVariantPlan Variant(TByteVector source, std::vector<TDeltaOp> ops, std::uint8_t flags = VariantAddModeOff,
                     std::uint16_t groupLength = 190, std::uint8_t block = 20) {
  TVariantPlan plan;
  plan.Source = std::move(source);
  plan.Ops = std::move(ops);
  plan.Flags = flags;
  plan.GroupLength = groupLength;
  plan.Block = block;
  return plan;
}

TEntryPlan Entry(const std::string& name, std::vector<TVariantPlan> variants, std::size_t start = 0) {
  TEntryPlan plan;
  plan.Name = name;
  plan.Variants = std::move(variants);
  plan.Start = start;
  return plan;
}

}  // namespace

TByteVector FixedOldFile() {
  TByteVector bytes = Lines("Mendrix fixed old file, line", 8);
  TByteVector tail = Pseudo(600 - bytes.size(), 7);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

std::vector<TNamedFile> FixedOldTree() {
  TByteVector text = Lines("c.txt of the fixed old tree", 7);
  text.resize(200, '.');
  return {
      {"a.dat", Pseudo(500, 11)},
      {"c.txt", text},
      {"keep.bin", Pseudo(100, 14)},
      {"sub\\b.dat", Pseudo(400, 12)},
  };
}

bool SimulateDelta(const TByteVector& source, const std::vector<TDeltaOp>& ops,
                   std::uint8_t variantFlags, std::uint8_t blockLength, std::int64_t limit,
                   TByteVector& output, std::string& error) {
  const bool addMode = (variantFlags & VariantAddModeOff) == 0;
  const auto sourceSize = static_cast<std::int64_t>(source.size());
  std::int64_t copyPosition = 0;
  std::int64_t copyLength = 0;
  std::int64_t addCount = 0;
  output.clear();
  // Old bytes come from the side of the last copy's start.
  auto oldByte = [&](std::int64_t address, std::uint8_t& byte) {
    if (copyPosition < sourceSize) {
      if (address < 0 || address >= sourceSize) return false;
      byte = source[static_cast<std::size_t>(address)];
      return true;
    }
    const std::int64_t at = address - sourceSize;
    if (at < 0 || at >= static_cast<std::int64_t>(output.size())) return false;
    byte = output[static_cast<std::size_t>(at)];
    return true;
  };
  auto append = [&](std::uint8_t byte) {
    if (static_cast<std::int64_t>(output.size()) >= limit) return false;
    output.push_back(byte);
    return true;
  };
  for (const TDeltaOp& op : ops) {
    if (op.Kind == TOpKind::Zero) continue;
    if (op.Kind == TOpKind::Copy) {
      const std::int64_t address = copyPosition + copyLength + op.Offset;
      if (address < sourceSize) {
        if (address < 0 || address + op.Length > sourceSize) {
          error = "copy outside the source";
          return false;
        }
        for (std::int64_t i = 0; i < op.Length; ++i) {
          if (!append(source[static_cast<std::size_t>(address + i)])) {
            error = "output past its limit";
            return false;
          }
        }
      } else {
        // Without overlap, which small files can't give in whole pieces.
        const std::int64_t from = address - sourceSize;
        if (from + op.Length > static_cast<std::int64_t>(output.size())) {
          error = "copy outside the output";
          return false;
        }
        for (std::int64_t i = 0; i < op.Length; ++i) {
          if (!append(output[static_cast<std::size_t>(from + i)])) {
            error = "output past its limit";
            return false;
          }
        }
      }
      copyPosition = address;
      copyLength = op.Length;
      addCount = static_cast<std::int64_t>(op.AddBytes.size());
      for (std::int64_t i = 0; i < addCount; ++i) {
        std::uint8_t old = 0;
        if (!oldByte(copyPosition + copyLength + i, old)) {
          error = "add bytes without old bytes";
          return false;
        }
        const std::uint8_t add = op.AddBytes[static_cast<std::size_t>(i)];
        if (!append(addMode ? static_cast<std::uint8_t>(add + old) : add)) {
          error = "output past its limit";
          return false;
        }
      }
      continue;
    }
    // Insert: pieces of blockLength, the last one taking the rest.
    const auto length = static_cast<std::int64_t>(op.InsertBytes.size());
    std::int64_t start = 0;
    std::size_t piece = 0;
    for (;;) {
      const std::int64_t rest = length - start;
      const std::int64_t size = rest >= 2 * blockLength ? blockLength : rest;
      const bool literal = piece < op.PieceFlags.size() && op.PieceFlags[piece];
      for (std::int64_t i = 0; i < size; ++i) {
        std::uint8_t byte = op.InsertBytes[static_cast<std::size_t>(start + i)];
        if (!literal) {
          std::uint8_t old = 0;
          if (!oldByte(copyPosition + copyLength + addCount + start + i, old)) {
            error = "insert piece without old bytes";
            return false;
          }
          byte = static_cast<std::uint8_t>(byte + old);
        }
        if (!append(byte)) {
          error = "output past its limit";
          return false;
        }
      }
      ++piece;
      if (rest < 2 * blockLength) break;
      start += blockLength;
    }
  }
  return true;
}

bool MakeLargePatches(std::vector<TRobustPatch>& patches, std::string& error) {
  patches.clear();
  const TByteVector old = FixedOldFile();
  const auto oldSize = static_cast<std::int32_t>(old.size());
  // Addresses run over the source, then the output: each copy starts at the
  // end of the previous copy's run plus its offset.
  std::vector<TDeltaOp> grow = {TDeltaOp::Copy(oldSize, 0)};
  std::int64_t written = oldSize;
  std::int64_t runEnd = oldSize;
  while (written < 2400000) {
    // The whole output so far, again, from its first byte (address oldSize).
    grow.push_back(TDeltaOp::Copy(static_cast<std::int32_t>(written),
                                  static_cast<std::int32_t>(oldSize - runEnd)));
    runEnd = oldSize + written;
    written *= 2;
  }
  // Short pieces far apart in the 2.4 MB source, forwards and back, then one
  // of 40,000 bytes.
  std::vector<TDeltaOp> pick;
  std::int64_t end = 0;
  for (const std::int64_t at : {2300000, 5000, 1200000, 2390000, 700000, 9000, 1900000}) {
    pick.push_back(TDeltaOp::Copy(300, static_cast<std::int32_t>(at - end)));
    pick.push_back(TDeltaOp::Insert(Pseudo(25, static_cast<std::uint32_t>(at)), true, 20));
    end = at + 300;
  }
  pick.push_back(TDeltaOp::Copy(40000, static_cast<std::int32_t>(100000 - end)));
  // A copy that ends 10 bytes short of the output buffer's end, then an
  // insert that runs over it.
  const std::int32_t picked = 7 * (300 + 25) + 40000;
  pick.push_back(TDeltaOp::Copy(OutputBufferSize - 10 - picked, 360000));
  pick.push_back(TDeltaOp::Insert(Pseudo(25, 77), true, 20));
  TVariantPlan first = Variant(old, grow);
  TVariantPlan second = Variant({}, pick);
  second.ClaimedSize = written;
  return AddSinglePatch("large_chain", "", Entry("", {first, second}), patches, error);
}

bool MakeRobustPatches(std::vector<TRobustPatch>& patches, std::string& error) {
  patches.clear();
  const TByteVector old = FixedOldFile();
  const std::string notice = std::string("Robustness seed") + '\0' + "#%de" + '\0' + "Probe";

  // Copies from the source, forwards and backwards, and from the output;
  // literal inserts of one and of two pieces. AddMode off.
  const std::vector<TDeltaOp> copyInsert = {
      TDeltaOp::Copy(100, 0),
      TDeltaOp::Insert(Text("0123456789"), true, 20),
      TDeltaOp::Copy(200, 50),
      TDeltaOp::Insert(Pseudo(45, 21), true, 20),
      TDeltaOp::Copy(150, -120),
      TDeltaOp::Copy(40, 230),   // from output byte 10
      TDeltaOp::Copy(50, -250),  // back into the source
  };
  // No notice: the sweeps go over every byte of this one.
  if (!AddSinglePatch("single_copy_insert", "", Entry("", {Variant(old, copyInsert)}), patches,
                      error)) {
    return false;
  }
  // The same patch appended to other bytes, as a self-applying patch is.
  if (!AddSinglePatch("single_prefixed", notice, Entry("", {Variant(old, copyInsert)}), patches,
                      error, Pseudo(100, 31))) {
    return false;
  }

  // AddMode on: add bytes after copies from the source and from the output,
  // inserts whose pieces are added to old bytes or stand as they are.
  // GroupLength 1: every copy has its own count byte.
  {
    std::vector<TDeltaOp> ops = {
        TDeltaOp::Copy(64, 0, Pseudo(3, 41)),
        InsertWithFlags(Pseudo(9, 42), {false, true}),
        TDeltaOp::Copy(100, 10),
        InsertWithFlags(Pseudo(4, 43), {false}),
        TDeltaOp::Copy(50, 5, Pseudo(255, 44)),
        TDeltaOp::Copy(20, 0, Pseudo(1, 45)),
        TDeltaOp::Copy(30, 451, Pseudo(2, 46)),  // output bytes 100..129
        InsertWithFlags(Pseudo(3, 47), {false}),
        TDeltaOp::Insert(Pseudo(7, 48), true, 4),
    };
    if (!AddSinglePatch("single_add_mode", "",
                        Entry("", {Variant(old, ops, /*flags=*/0, /*groupLength=*/1, /*block=*/4)}),
                        patches, error)) {
      return false;
    }
  }

  // Groups of two copies sharing a count byte; zero numbers, after which the
  // countdown stays below 0 and the last count serves every later copy.
  {
    std::vector<TDeltaOp> ops = {
        TDeltaOp::Copy(10, 0, {1}),  TDeltaOp::Copy(10, 5, {2}), TDeltaOp::Zero(),
        TDeltaOp::Copy(10, 3, {3}),  TDeltaOp::Zero(),           TDeltaOp::Copy(10, 3, {4}),
        InsertWithFlags(Pseudo(16, 51), {true, false}),
    };
    if (!AddSinglePatch("single_groups_zero", "",
                        Entry("", {Variant(old, ops, 0, /*groupLength=*/2, /*block=*/8)}), patches,
                        error)) {
      return false;
    }
  }
  // A zero number first: no count byte is ever read, AddCount stays 0.
  // GroupLength 0 in the second variant: one count byte serves all copies.
  {
    TVariantPlan first = Variant(old, {TDeltaOp::Zero(), TDeltaOp::Copy(100, 0),
                                       TDeltaOp::Copy(50, 10), TDeltaOp::Insert(Text("zz"), true, 20)},
                                 0);
    TVariantPlan second = Variant({}, {TDeltaOp::Copy(5, 0, {7, 7}), TDeltaOp::Copy(5, 1, {8, 8}),
                                       TDeltaOp::Copy(5, 1, {9, 9})},
                                  0, /*groupLength=*/0);
    if (!AddSinglePatch("single_zero_first", "", Entry("", {first, second}), patches, error)) {
      return false;
    }
  }

  // A chain of four variants whose NumberLimits fall in every size class:
  // 70000 (three bytes), 20000000 (four), 150 (one), 100 + 300 (two; the
  // limit is the sum).
  {
    TVariantPlan v0 = Variant(old, {TDeltaOp::Copy(150, 0), TDeltaOp::Insert(Pseudo(50, 61), true, 20)});
    TVariantPlan v1 = Variant({}, {TDeltaOp::Copy(100, 50), TDeltaOp::Insert(Pseudo(50, 62), true, 20)});
    v1.ClaimedSize = 70000;
    TVariantPlan v2 = Variant({}, {TDeltaOp::Copy(60, 10), TDeltaOp::Insert(Pseudo(40, 63), true, 20)});
    v2.ClaimedSize = 20000000;
    TVariantPlan v3 = Variant({}, {TDeltaOp::Copy(100, 0), TDeltaOp::Copy(100, -100),
                                   TDeltaOp::Insert(Pseudo(100, 64), true, 20)},
                              VariantAddModeOff | VariantLimitIsSum);
    if (!AddSinglePatch("single_chain_limits", "", Entry("", {v0, v1, v2, v3}), patches, error)) {
      return false;
    }
  }

  // The first variant is for a version that isn't there; the second matches.
  {
    TByteVector other = old;
    other[300] ^= 0x55;
    TVariantPlan v0 = Variant(other, {TDeltaOp::Copy(600, 0)});
    TVariantPlan v1 = Variant(old, {TDeltaOp::Copy(300, 300), TDeltaOp::Copy(300, -600)});
    if (!AddSinglePatch("single_later_variant", "", Entry("", {v0, v1}, 1), patches, error)) {
      return false;
    }
  }

  // Excluded ranges on the entry and the variant.
  {
    TVariantPlan v0 = Variant(old, {TDeltaOp::Copy(600, 0), TDeltaOp::Insert(Text("STAMPED!"), true, 20)});
    v0.Exclude = {100, 20};
    TEntryPlan plan = Entry("", {v0});
    plan.EntryFlags = EntryHasRanges;
    plan.Exclude = {0, 8};
    if (!AddSinglePatch("single_excluded", "", plan, patches, error)) return false;
  }

  // Tree: file entries with a backup, embedded files (one empty, one in a
  // new directory), AddMode on in one entry.
  const std::string treeNotice = std::string("Tree seed") + '\0' + "#%de" + '\0' + "Baum";
  {
    TEntryPlan a = Entry("a.dat", {Variant(TreeFile("a.dat"), {TDeltaOp::Copy(250, 0),
                                                               TDeltaOp::Insert(Pseudo(30, 71), true, 20),
                                                               TDeltaOp::Copy(250, 0)})});
    TEntryPlan b = Entry("sub\\b.dat",
                         {Variant(TreeFile("sub\\b.dat"),
                                  {TDeltaOp::Copy(100, 0, Pseudo(4, 72)),
                                   InsertWithFlags(Pseudo(20, 73), {false}), TDeltaOp::Copy(200, 10)},
                                  0, 1)});
    if (!AddTreePatch("tree_mixed", treeNotice, "Backup",
                      {FileItem(a), Embedded("docs\\readme.txt", Lines("read me", 5)),
                       FileItem(b), Embedded("empty.txt", {})},
                      patches, error)) {
      return false;
    }
  }
  // A small tree patch: one file entry and one short embedded file.
  {
    TEntryPlan a = Entry("a.dat", {Variant(TreeFile("a.dat"), {TDeltaOp::Copy(200, 100),
                                                               TDeltaOp::Insert(Text("new"), true, 20)})});
    if (!AddTreePatch("tree_small", "", "Old", {FileItem(a), Embedded("n.txt", Text("note"))},
                      patches, error)) {
      return false;
    }
  }
  // Renamed sources, a missing first variant, an entry already in its new
  // state, a chain of two variants.
  {
    TVariantPlan missing = Variant(Pseudo(50, 81), {TDeltaOp::Copy(50, 0)});
    missing.Name = "missing.dat";
    TVariantPlan fromC = Variant(TreeFile("c.txt"), {TDeltaOp::Copy(200, 0),
                                                     TDeltaOp::Insert(Pseudo(20, 82), true, 20)});
    fromC.Name = "c.txt";
    TEntryPlan d = Entry("d.dat", {missing, fromC}, 1);
    TEntryPlan keep;
    keep.Name = "keep.bin";
    keep.AlreadyPatched = true;
    keep.Result = TreeFile("keep.bin");
    TEntryPlan c = Entry("c.txt", {Variant(TreeFile("c.txt"), {TDeltaOp::Copy(100, 0),
                                                               TDeltaOp::Insert(Text("0123456789"), true, 20)}),
                                   Variant({}, {TDeltaOp::Copy(110, 0), TDeltaOp::Insert(Text("end"), true, 20)})});
    if (!AddTreePatch("tree_renamed", treeNotice, "Backup",
                      {FileItem(d), FileItem(keep), FileItem(c)}, patches, error)) {
      return false;
    }
  }
  // Embedded files written over files of the tree, before and after a file
  // entry: no backups, the old files keep a name of their own until the
  // commit is done.
  {
    TEntryPlan a = Entry("a.dat", {Variant(TreeFile("a.dat"), {TDeltaOp::Copy(300, 100),
                                                               TDeltaOp::Insert(Text("over"), true, 20)})});
    if (!AddTreePatch("tree_overwritten", treeNotice, "Backup",
                      {Embedded("c.txt", Lines("c.txt written whole", 4)), FileItem(a),
                       Embedded("sub\\b.dat", Pseudo(120, 96))},
                      patches, error)) {
      return false;
    }
  }
  // Excluded ranges in a tree patch; EntryFlags with bits the reader ignores.
  {
    TVariantPlan v0 = Variant(TreeFile("a.dat"), {TDeltaOp::Copy(500, 0), TDeltaOp::Insert(Text("TAIL"), true, 20)});
    v0.Exclude = {400, 50};
    TEntryPlan a = Entry("a.dat", {v0});
    a.EntryFlags = 0x8001;
    a.Exclude = {10, 4};
    if (!AddTreePatch("tree_excluded", "", "Backup", {FileItem(a)}, patches, error)) return false;
  }
  // Embedded files only, no notice.
  if (!AddTreePatch("tree_embedded_only", "", "Backup",
                    {Embedded("x.bin", Pseudo(300, 91)), Embedded("deep\\er\\y.txt", Text("0123456789"))},
                    patches, error)) {
    return false;
  }
  return true;
}

}  // namespace mendrix::test
