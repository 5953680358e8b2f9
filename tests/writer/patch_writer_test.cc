#include "writer/patch_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patchfile/byte_order.h"
#include "support/patch_builder.h"

namespace mendrix {
namespace {

using TBytes = std::vector<std::uint8_t>;

TBytes Slice(const TBytes& bytes, std::size_t start, std::size_t length) {
  return TBytes(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                bytes.begin() + static_cast<std::ptrdiff_t>(start + length));
}

TEST(WritePatch, LaysOutTheReferencePatch) {
  const TBytes file =
      test::BuildPatch(test::ReferencePatch(), TBytes(test::ReferencePrefixSize, 0x4D));
  ASSERT_EQ(file.size(), 51897u);
  const std::size_t c = test::ReferencePrefixSize;  // container start
  EXPECT_EQ(Slice(file, c, 10), (TBytes{0x43, 0x84, 0x7F, 0x3E, 0xBE, 0, 0, 0, 0x01, 0x00}));
  EXPECT_EQ(Slice(file, c + 74, 2), (TBytes{0x0A, 0x02}));
  EXPECT_EQ(Slice(file, c + 598, 7), (TBytes{6, 'B', 'a', 'c', 'k', 'u', 'p'}));
  // TEntryInfo at 605: ResultCrc, ResultSize, ResultTime, VariantCount 1, flags 0.
  EXPECT_EQ(LoadU32Le(&file[c + 605]), 0x342359AEu);
  EXPECT_EQ(LoadU32Le(&file[c + 609]), 5167888u);
  EXPECT_EQ(LoadU32Le(&file[c + 613]), 0x255A74E1u);
  EXPECT_EQ(LoadU16Le(&file[c + 617]), 1);
  EXPECT_EQ(LoadU16Le(&file[c + 619]), 0);
  // TVariantInfo at 621.
  EXPECT_EQ(LoadU32Le(&file[c + 621]), 0xA0C4117Fu);
  EXPECT_EQ(LoadU32Le(&file[c + 625]), 5167888u);
  const std::uint32_t lengths[] = {20, 1, 3, 12, 0};
  for (int k = 0; k < 5; ++k) EXPECT_EQ(LoadU32Le(&file[c + 629 + 4 * k]), lengths[k]) << k;
  EXPECT_EQ(LoadU16Le(&file[c + 649]), 190);
  EXPECT_EQ(file[c + 651], 2);
  EXPECT_EQ(file[c + 652], 20);
  // Streams at 653, back to back: number stream first, add stream (empty) last.
  EXPECT_EQ(Slice(file, c + 653, 3), (TBytes{0x01, 0xC1, 0xBD}));
  EXPECT_EQ(Slice(file, c + 673, 4), (TBytes{0x7F, 0x92, 0x24, 0x09}));
  EXPECT_EQ(Slice(file, c + 689, 8), (TBytes{0xB9, 0x02, 0, 0, 0x43, 0x84, 0x7F, 0x3E}));
}

TEST(WritePatch, TreeEntriesCarryTypesNamesAndRanges) {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.BackupName = "";
  TWriterEntry file;
  file.Name = "a";
  file.Info.EntryFlags = EntryHasRanges;
  file.Exclude = {0x11, 0x22};
  TWriterVariant variant;
  variant.Name = "b";
  variant.Exclude = {0x33, 0x44};
  variant.Streams[AddStream] = {0xAA};
  file.Variants.push_back(variant);
  TWriterEntry embedded;
  embedded.Type = EmbeddedEntryType;
  embedded.Name = "e";
  embedded.EmbeddedTime = 0x01020304;
  embedded.Content = {'x', 'y'};
  patch.Entries = {file, embedded};
  const TBytes out = test::BuildPatch(patch);

  TBytes expected(HeaderSize, 0);
  StoreU32Le(&expected[0], PatchMagic);
  StoreU32Le(&expected[4], PatchFormatVersion);
  expected[8] = TreePatchKind;
  const TBytes table = {
      0,                                                             // empty backup name
      1,                                                             // file entry
      0,    0,   0,   0, 0,    0, 0, 0, 0, 0, 0, 0,   1,   0, 1, 0,  // TEntryInfo
      0x11, 0,   0,   0, 0x22, 0, 0, 0,                              // entry range
      1,    'a',                                                     // entry name
      1,    'b',                                                     // variant name
      0,    0,   0,   0, 0,    0, 0, 0,                              // SourceCrc, SourceSize
      0,    0,   0,   0, 0,    0, 0, 0, 0, 0, 0, 0,   0,   0, 0, 0, 1, 0, 0, 0,  // StreamLength
      0,    0,   0,   0,                                    // group, flags, block
      0x33, 0,   0,   0, 0x44, 0, 0, 0,                     // variant range
      0xAA,                                                 // add stream
      2,    1,   'e', 2, 0,    0, 0, 4, 3, 2, 1, 'x', 'y',  // embedded file
      0,                                                    // end of table
  };
  expected.insert(expected.end(), table.begin(), table.end());
  const std::size_t containerLength = expected.size() + TrailerSize;
  expected.resize(containerLength);
  StoreU32Le(&expected[containerLength - 8], static_cast<std::uint32_t>(containerLength));
  StoreU32Le(&expected[containerLength - 4], PatchMagic);
  EXPECT_EQ(out, expected);
}

TEST(WritePatch, RefusesWhatTheFormatCannotHold) {
  struct TCase {
    const char* Name;
    void (*Spoil)(TWriterPatch&);
  };
  const TCase cases[] = {
      {"notice over 65535 bytes", [](TWriterPatch& p) { p.Notice.assign(65536, 'n'); }},
      {"backup name over 255 bytes", [](TWriterPatch& p) { p.BackupName.assign(256, 'b'); }},
      {"entry name over 255 bytes", [](TWriterPatch& p) { p.Entries[0].Name.assign(256, 'e'); }},
      {"variant name over 255 bytes",
       [](TWriterPatch& p) { p.Entries[0].Variants[0].Name.assign(256, 'v'); }},
      {"more than 65535 variants", [](TWriterPatch& p) { p.Entries[0].Variants.resize(65536); }},
      {"embedded file in a single-file patch",
       [](TWriterPatch& p) {
         p.PatchKind = 1;
         p.Entries[0].Type = EmbeddedEntryType;
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TWriterPatch patch;
    patch.PatchKind = TreePatchKind;
    patch.Entries.resize(1);
    patch.Entries[0].Name = "f";
    patch.Entries[0].Variants.resize(1);
    c.Spoil(patch);
    TBytes out = {1, 2, 3};
    std::string error;
    EXPECT_FALSE(WritePatch(patch, out, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(out, (TBytes{1, 2, 3}));  // what was there before stays, nothing more
  }
}

}  // namespace
}  // namespace mendrix
