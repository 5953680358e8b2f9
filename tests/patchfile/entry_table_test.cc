#include "patchfile/entry_table.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "install/entries.h"
#include "patchfile/byte_order.h"
#include "support/patch_builder.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

using TBytes = std::vector<std::uint8_t>;
using testing::ExitedWithCode;

const std::string Corrupted = "Error, patch corrupted!\r\n\r\n\r\n";

std::int32_t EntryTableStart(const TWriterPatch& patch) {
  return static_cast<std::int32_t>(HeaderSize + patch.Notice.size() + 1 + patch.BackupName.size());
}

// Puts bytes in a file and leaves context.PatchFile open at position.
void OpenAt(const test::TTempDir& dir, const TBytes& bytes, std::int32_t position, bool treeMode,
            TPatchContext& context) {
  const std::string path = dir.File("p.pat");
  test::WriteFileBytes(path, bytes);
  OpenForReading(context.PatchFile, path);
  SeekTo(context.PatchFile, position);
  ASSERT_EQ(TakeIoStatus(), 0);
  context.TreeMode = treeMode;
}

TBytes ReadBytesAt(TDiskFile& file, std::int32_t position, std::size_t count) {
  TBytes bytes(count);
  const std::int32_t saved = GetPosition(file);
  SeekTo(file, position);
  EXPECT_TRUE(ReadBlock(file, bytes.data(), static_cast<std::int32_t>(count)));
  SeekTo(file, saved);
  return bytes;
}

void ExpectSameInfo(const TVariantInfo& read, const TWriterVariant& written) {
  EXPECT_EQ(read.SourceCrc, written.Info.SourceCrc);
  EXPECT_EQ(read.SourceSize, written.Info.SourceSize);
  for (int k = 0; k < StreamCount; ++k) EXPECT_EQ(read.StreamLength[k], written.Streams[k].size());
  EXPECT_EQ(read.GroupLength, written.Info.GroupLength);
  EXPECT_EQ(read.VariantFlags, written.Info.VariantFlags);
  EXPECT_EQ(read.BlockLength, written.Info.BlockLength);
}

// An entry read and placed below the paths, as the entry walk does.
std::uint8_t ReadPlacedEntry(TPatchContext& context, const TRunPaths& paths) {
  const std::uint8_t type = ReadEntry(context);
  if (type != EndEntryType) PlaceEntry(context, paths, type);
  return type;
}

TEST(ReadEntry, ReadsTheReferenceEntry) {
  test::TTempDir dir;
  TPatchContext context;
  OpenAt(dir, test::BuildPatch(test::ReferencePatch(), TBytes(test::ReferencePrefixSize, 0)), 51805,
         false, context);
  TRunPaths options;
  options.OldPath = "old.exe";
  options.NewPath = "new.exe";
  ASSERT_EQ(ReadPlacedEntry(context, options), FileEntryType);
  EXPECT_EQ(context.Entry.ResultCrc, 0x342359AEu);
  EXPECT_EQ(context.Entry.ResultSize, 5167888u);
  EXPECT_EQ(context.Entry.ResultTime, 0x255A74E1u);
  EXPECT_EQ(context.Entry.VariantCount, 1);
  EXPECT_EQ(context.Entry.EntryFlags, 0);
  EXPECT_EQ(context.EntryExclude.ExcludeLength, 0u);
  EXPECT_EQ(context.EntryName, "old.exe");
  EXPECT_EQ(context.TargetPath, "new.exe");
  ASSERT_EQ(context.Variants.size(), 1u);
  const TVariantInfo& variant = context.Variants[0];
  EXPECT_EQ(variant.SourceCrc, 0xA0C4117Fu);
  EXPECT_EQ(variant.SourceSize, 5167888u);
  EXPECT_EQ(variant.StreamLength, (std::array<std::uint32_t, 5>{20, 1, 3, 12, 0}));
  EXPECT_EQ(variant.GroupLength, 190);
  EXPECT_EQ(variant.VariantFlags, 2);
  EXPECT_EQ(variant.BlockLength, 20);
  EXPECT_EQ(context.VariantExclude[0].ExcludeStart, 0u);
  EXPECT_EQ(context.VariantExclude[0].ExcludeLength, 0u);
  EXPECT_EQ(context.StreamOffset[0], 51853);
  EXPECT_EQ(GetPosition(context.PatchFile), 51889);
}

// A tree patch of two file entries around an embedded file; the first has
// excluded ranges and 300 variants, some named, the second none at all.
TWriterPatch TreePatch() {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.Notice = "Tree";
  patch.BackupName = "Old";
  TWriterEntry first;
  first.Name = "sub\\a.dat";
  first.Info = {0x11111111, 1000, 0x255A74E1, 0, EntryHasRanges | 0x0100};
  first.Exclude = {16, 4};
  for (std::uint32_t i = 0; i < 300; ++i) {
    TWriterVariant variant;
    variant.Name = i % 3 == 0 ? "" : "v" + std::to_string(i) + "\\a.dat";
    variant.Info.SourceCrc = 0xC0000000u + i;
    variant.Info.SourceSize = 500 + i;
    variant.Info.GroupLength = static_cast<std::uint16_t>(i);
    variant.Info.VariantFlags = static_cast<std::uint8_t>(i % 4);
    variant.Info.BlockLength = static_cast<std::uint8_t>(i);
    variant.Exclude = {i, i * 2};
    for (int k = 0; k < StreamCount; ++k) {
      variant.Streams[k].assign(static_cast<std::size_t>((i + k) % 7),
                                static_cast<std::uint8_t>(i + k));
    }
    first.Variants.push_back(variant);
  }
  TWriterEntry embedded;
  embedded.Type = EmbeddedEntryType;
  embedded.Name = "docs\\x.txt";
  embedded.EmbeddedTime = 0x12345678;
  embedded.Content = {'h', 'e', 'l', 'l', 'o'};
  TWriterEntry second;
  second.Name = "b.dat";
  second.Info = {0x22222222, 0, 0, 0, 0x0002};
  patch.Entries = {first, embedded, second};
  return patch;
}

TEST(ReadEntry, ReadsBackWhatTheWriterWrote) {
  const TWriterPatch patch = TreePatch();
  test::TTempDir dir;
  TPatchContext context;
  OpenAt(dir, test::BuildPatch(patch), EntryTableStart(patch), true, context);
  TRunPaths options;
  options.OldPath = "old";
  options.NewPath = "new";

  const TWriterEntry& first = patch.Entries[0];
  ASSERT_EQ(ReadPlacedEntry(context, options), FileEntryType);
  EXPECT_EQ(context.Entry.ResultCrc, first.Info.ResultCrc);
  EXPECT_EQ(context.Entry.ResultSize, first.Info.ResultSize);
  EXPECT_EQ(context.Entry.ResultTime, first.Info.ResultTime);
  EXPECT_EQ(context.Entry.VariantCount, 300);
  EXPECT_EQ(context.Entry.EntryFlags, first.Info.EntryFlags);
  EXPECT_EQ(context.EntryExclude.ExcludeStart, 16u);
  EXPECT_EQ(context.EntryExclude.ExcludeLength, 4u);
  EXPECT_EQ(context.EntryName, "sub\\a.dat");
  EXPECT_EQ(context.TargetPath, "new\\sub\\a.dat");
  ASSERT_EQ(context.Variants.size(), 300u);
  for (std::size_t i = 0; i < 300; ++i) {
    SCOPED_TRACE(i);
    const TWriterVariant& written = first.Variants[i];
    ExpectSameInfo(context.Variants[i], written);
    EXPECT_EQ(context.VariantPath[i], written.Name.empty() ? first.Name : written.Name);
    EXPECT_EQ(context.VariantExclude[i].ExcludeStart, written.Exclude.ExcludeStart);
    EXPECT_EQ(context.VariantExclude[i].ExcludeLength, written.Exclude.ExcludeLength);
    // The recorded offset is where stream 0 begins; the others follow it.
    TBytes streams;
    for (const auto& stream : written.Streams)
      streams.insert(streams.end(), stream.begin(), stream.end());
    EXPECT_EQ(ReadBytesAt(context.PatchFile, context.StreamOffset[i], streams.size()), streams);
  }

  ASSERT_EQ(ReadPlacedEntry(context, options), EmbeddedEntryType);
  EXPECT_EQ(context.EntryName, "docs\\x.txt");
  EXPECT_EQ(context.EmbeddedPath, "new\\docs\\x.txt");
  std::array<std::uint8_t, EmbeddedRecordSize + 5> rest{};
  ASSERT_TRUE(ReadBlock(context.PatchFile, rest.data(), static_cast<std::int32_t>(rest.size())));
  EXPECT_EQ(LoadU32Le(&rest[0]), 5u);
  EXPECT_EQ(LoadU32Le(&rest[4]), 0x12345678u);
  EXPECT_EQ(rest[8], 'h');

  const std::int32_t secondStart = GetPosition(context.PatchFile);
  ASSERT_EQ(ReadPlacedEntry(context, options), FileEntryType);
  EXPECT_EQ(context.Entry.ResultCrc, 0x22222222u);
  EXPECT_EQ(context.Entry.EntryFlags, 0x0002);  // bit 1 alone: no ranges
  EXPECT_EQ(context.EntryExclude.ExcludeLength, 0u);
  EXPECT_TRUE(context.Variants.empty());
  EXPECT_EQ(GetPosition(context.PatchFile), secondStart + 1 + EntryInfoSize + 1 + 5);

  // The end marker changes nothing.
  ASSERT_EQ(ReadPlacedEntry(context, options), EndEntryType);
  EXPECT_EQ(context.EntryName, "b.dat");
  EXPECT_EQ(context.TargetPath, "new\\b.dat");
  EXPECT_EQ(context.Entry.ResultCrc, 0x22222222u);
}

TEST(ReadEntry, SingleFileEntryWithRanges) {
  TWriterPatch patch;
  patch.PatchKind = 1;
  TWriterEntry entry;
  entry.Info.EntryFlags = EntryHasRanges;
  entry.Exclude = {1, 2};
  for (std::uint32_t i = 0; i < 3; ++i) {
    TWriterVariant variant;
    variant.Name = "ignored";  // single-file variants have no names
    variant.Info.SourceSize = i;
    variant.Exclude = {10 + i, 20 + i};
    variant.Streams[NumberStream] = {1, 2, 3};
    entry.Variants.push_back(variant);
  }
  patch.Entries = {entry};
  const TBytes bytes = test::BuildPatch(patch);
  test::TTempDir dir;
  TPatchContext context;
  OpenAt(dir, bytes, EntryTableStart(patch), false, context);
  TRunPaths options;
  options.OldPath = "c:\\app\\old.exe";
  options.NewPath = "c:\\app\\new.exe";
  ASSERT_EQ(ReadPlacedEntry(context, options), FileEntryType);
  EXPECT_EQ(context.EntryName, options.OldPath);
  EXPECT_EQ(context.TargetPath, options.NewPath);
  EXPECT_EQ(context.EntryExclude.ExcludeStart, 1u);
  EXPECT_EQ(context.EntryExclude.ExcludeLength, 2u);
  ASSERT_EQ(context.Variants.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(context.Variants[i].SourceSize, i);
    EXPECT_EQ(context.VariantExclude[i].ExcludeStart, 10 + i);
    EXPECT_EQ(context.VariantExclude[i].ExcludeLength, 20 + i);
  }
  EXPECT_EQ(GetPosition(context.PatchFile), static_cast<std::int32_t>(bytes.size()) - TrailerSize);
}

TEST(ReadEntry, TargetPathJoinsWithOneBackslash) {
  struct TCase {
    const char* NewPath;
    const char* Name;
    std::uint8_t Type;
    const char* Joined;
  };
  const TCase cases[] = {
      {"new", "sub\\a.dat", FileEntryType, "new\\sub\\a.dat"},
      {"C:\\", "sub\\a.dat", FileEntryType, "C:\\\\sub\\a.dat"},
      {"out", "x.txt", EmbeddedEntryType, "out\\x.txt"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Joined);
    TWriterPatch patch;
    patch.PatchKind = TreePatchKind;
    TWriterEntry entry;
    entry.Type = c.Type;
    entry.Name = c.Name;
    patch.Entries = {entry};
    test::TTempDir dir;
    TPatchContext context;
    OpenAt(dir, test::BuildPatch(patch), EntryTableStart(patch), true, context);
    TRunPaths options;
    options.NewPath = c.NewPath;
    ASSERT_EQ(ReadPlacedEntry(context, options), c.Type);
    EXPECT_EQ(c.Type == FileEntryType ? context.TargetPath : context.EmbeddedPath, c.Joined);
    EXPECT_EQ(context.EntryName, c.Name);
  }
}

// Reads every entry of the table the way a pass does, stepping over the
// content of embedded files, and exits with 0 when the end marker comes.
void ReadWholeTable(TPatchContext& context) {
  TRunPaths options;
  for (;;) {
    const std::uint8_t type = ReadPlacedEntry(context, options);
    if (type == EndEntryType) std::exit(0);
    if (type == EmbeddedEntryType) {
      std::array<std::uint8_t, EmbeddedRecordSize> record{};
      if (!ReadBlock(context.PatchFile, record.data(), EmbeddedRecordSize)) std::exit(2);
      SeekTo(context.PatchFile,
             GetPosition(context.PatchFile) + static_cast<std::int32_t>(LoadU32Le(&record[0])));
    }
  }
}

TEST(ReadEntryDeathTest, DamagedEntriesStopTheRun) {
  // One named file entry (its variant unnamed, no ranges) ahead of an
  // embedded file; offsets below are from the start of the table.
  auto make = [](const std::string& entryName, const std::string& variantName,
                 const std::string& embeddedName) {
    TWriterPatch patch;
    patch.PatchKind = TreePatchKind;
    patch.BackupName = "";
    TWriterEntry file;
    file.Name = entryName;
    TWriterVariant variant;
    variant.Name = variantName;
    variant.Streams[NumberStream] = {1};
    file.Variants = {variant};
    TWriterEntry embedded;
    embedded.Type = EmbeddedEntryType;
    embedded.Name = embeddedName;
    patch.Entries = {file, embedded};
    TBytes bytes = test::BuildPatch(patch);
    bytes.erase(bytes.begin(), bytes.begin() + EntryTableStart(patch));
    bytes.erase(bytes.end() - TrailerSize, bytes.end());
    return bytes;
  };
  const TBytes good = make("f", "", "e");
  const std::size_t lengths = 1 + EntryInfoSize + 2 + 1 + 8;  // StreamLength[0]
  auto withLengths = [&good](std::vector<std::uint32_t> values) {
    TBytes bytes = good;
    for (std::size_t k = 0; k < values.size(); ++k) StoreU32Le(&bytes[lengths + 4 * k], values[k]);
    return bytes;
  };
  auto withType = [&good](std::uint8_t type) {
    TBytes bytes = good;
    bytes[0] = type;
    return bytes;
  };

  struct TCase {
    const char* Name;
    TBytes Table;
  };
  const std::vector<TCase> cases = {
      {"entry type 3", withType(3)},
      {"entry type 255", withType(255)},
      {"empty entry name", make("", "", "e")},
      {"entry name \"..\"", make("..", "", "e")},
      {"entry name climbing out", make("sub\\..\\..\\f", "", "e")},
      {"absolute entry name", make("\\windows\\f", "", "e")},
      {"absolute entry name with a slash", make("/etc/f", "", "e")},
      {"entry name with a drive", make("C:f", "", "e")},
      {"variant name climbing out", make("f", "..\\f", "e")},
      {"absolute variant name", make("f", "/etc/passwd", "e")},
      {"empty embedded name", make("f", "", "")},
      {"embedded name climbing out", make("f", "", "../e")},
      {"absolute embedded name", make("f", "", "\\e")},
      {"stream lengths summing past 2^31", withLengths({0x7FFFFFFF, 0x7FFFFFFF})},
      {"stream length of 2^31", withLengths({0, 0, 0, 0, 0x80000000})},
      {"stream lengths of 0xFFFFFFFF",
       withLengths({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TTempDir dir;
    TPatchContext context;
    OpenAt(dir, c.Table, 0, true, context);
    EXPECT_EXIT(ReadWholeTable(context), ExitedWithCode(1), testing::Eq(Corrupted));
  }

  // The good table reads to its end; every shorter prefix of it is damaged,
  // except where the cut falls in the embedded file's record, which is not
  // read here (the embedded file is empty and the end marker follows it).
  const std::size_t recordStart = good.size() - 1 - EmbeddedRecordSize;
  for (std::size_t n = 0; n <= good.size(); ++n) {
    SCOPED_TRACE("prefix " + std::to_string(n));
    test::TTempDir dir;
    TPatchContext context;
    OpenAt(dir, TBytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)), 0, true,
           context);
    if (n == good.size()) {
      EXPECT_EXIT(ReadWholeTable(context), ExitedWithCode(0), testing::Eq(""));
    } else if (n >= recordStart && n < recordStart + EmbeddedRecordSize) {
      EXPECT_EXIT(ReadWholeTable(context), ExitedWithCode(2), testing::Eq(""));
    } else {
      EXPECT_EXIT(ReadWholeTable(context), ExitedWithCode(1), testing::Eq(Corrupted));
    }
  }
}

TEST(ReadEntryDeathTest, TruncatedSingleFileEntry) {
  TWriterPatch patch;
  patch.PatchKind = 1;
  TWriterEntry entry;
  entry.Info.EntryFlags = EntryHasRanges;
  entry.Variants.resize(1);
  patch.Entries = {entry};
  TBytes bytes = test::BuildPatch(patch);
  const std::int32_t start = EntryTableStart(patch);
  // Cut inside TEntryInfo, the entry's range, TVariantInfo and its range.
  for (const std::int32_t cut : {5, 16 + 3, 24 + 31, 56 + 7}) {
    SCOPED_TRACE(cut);
    test::TTempDir dir;
    TPatchContext context;
    OpenAt(dir, TBytes(bytes.begin(), bytes.begin() + start + cut), start, false, context);
    EXPECT_EXIT(ReadPlacedEntry(context, TRunPaths{}), ExitedWithCode(1), testing::Eq(Corrupted));
  }
}

}  // namespace
}  // namespace mendrix
