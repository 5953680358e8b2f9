// Entries of the table, in file order ([..] only in a tree patch; ranges
// only when the entry's EntryFlags bit 0 is set):
//
//   file entry:     [type 1] TEntryInfo (16) range [name]
//                   VariantCount times: [name] TVariantInfo (32) range streams
//   embedded file:  type 2, name; EmbeddedLength, EmbeddedTime and the
//                   content are left to the embedded-file writer
//   end of table:   type 0
//
// Everything of an entry is checked here before any of it is used: names
// must stay below the directory they are joined to, and the streams must end
// within the signed 32-bit positions of the patch file.
#include "patchfile/entry_table.h"

#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "console/console.h"
#include "patchfile/byte_order.h"
#include "patchfile/container.h"

namespace mendrix {
namespace {

[[noreturn]] void StopCorrupted() { FatalStop("Error, patch corrupted!"); }

void ReadExactly(TDiskFile& file, std::uint8_t* bytes, std::int32_t count) {
  if (!ReadBlock(file, bytes, count)) StopCorrupted();
}

std::string ReadContainedName(TDiskFile& file) {
  std::string name;
  if (!ReadShortString(file, name) || !IsContainedName(name)) StopCorrupted();
  return name;
}

TExcludeRange ReadRange(TDiskFile& file, bool present) {
  TExcludeRange range;
  if (!present) return range;
  std::array<std::uint8_t, ExcludeRangeSize> bytes{};
  ReadExactly(file, bytes.data(), ExcludeRangeSize);
  range.ExcludeStart = LoadU32Le(&bytes[0]);
  range.ExcludeLength = LoadU32Le(&bytes[4]);
  return range;
}

TEntryInfo ReadEntryInfo(TDiskFile& file) {
  std::array<std::uint8_t, EntryInfoSize> bytes{};
  ReadExactly(file, bytes.data(), EntryInfoSize);
  TEntryInfo info;
  info.ResultCrc = LoadU32Le(&bytes[0]);
  info.ResultSize = LoadU32Le(&bytes[4]);
  info.ResultTime = LoadU32Le(&bytes[8]);
  info.VariantCount = LoadU16Le(&bytes[12]);
  info.EntryFlags = LoadU16Le(&bytes[14]);
  return info;
}

TVariantInfo ReadVariantInfo(TDiskFile& file) {
  std::array<std::uint8_t, VariantInfoSize> bytes{};
  ReadExactly(file, bytes.data(), VariantInfoSize);
  TVariantInfo info;
  info.SourceCrc = LoadU32Le(&bytes[0]);
  info.SourceSize = LoadU32Le(&bytes[4]);
  for (int k = 0; k < StreamCount; ++k) info.StreamLength[k] = LoadU32Le(&bytes[8 + 4 * k]);
  info.GroupLength = LoadU16Le(&bytes[28]);
  info.VariantFlags = bytes[30];
  info.BlockLength = bytes[31];
  return info;
}

void ReadFileEntry(TPatchContext& context) {
  TDiskFile& file = context.PatchFile;
  context.Entry = ReadEntryInfo(file);
  const bool hasRanges = (context.Entry.EntryFlags & EntryHasRanges) != 0;
  context.EntryExclude = ReadRange(file, hasRanges);
  context.EntryName.clear();
  if (context.TreeMode) context.EntryName = ReadContainedName(file);

  // The tables grow with the variants actually read: a VariantCount (up to
  // 65535) that the patch doesn't back with records allocates nothing.
  const std::size_t count = context.Entry.VariantCount;
  context.Variants.clear();
  context.VariantPath.clear();
  context.VariantExclude.clear();
  context.StreamOffset.clear();
  for (std::size_t i = 0; i < count; ++i) {
    std::string name;
    if (context.TreeMode) {
      if (!ReadShortString(file, name)) StopCorrupted();
      // An empty variant name stands for the entry's own name.
      if (name.empty()) {
        name = context.EntryName;
      } else if (!IsContainedName(name)) {
        StopCorrupted();
      }
    }
    context.VariantPath.push_back(std::move(name));
    context.Variants.push_back(ReadVariantInfo(file));
    context.VariantExclude.push_back(ReadRange(file, hasRanges));

    const std::int32_t streamOffset = GetPosition(file);
    if (streamOffset < 0) StopCorrupted();
    context.StreamOffset.push_back(streamOffset);
    // Step over the streams. Their end is not compared with the file size
    // (the next read notices a shortfall), but it must be a position.
    std::int64_t streamEnd = streamOffset;
    for (const std::uint32_t length : context.Variants[i].StreamLength) streamEnd += length;
    if (streamEnd > INT32_MAX) StopCorrupted();
    SeekTo(file, static_cast<std::int32_t>(streamEnd));
    if (TakeIoStatus() != 0) StopCorrupted();
  }
}

}  // namespace

std::uint8_t ReadEntry(TPatchContext& context) {
  TDiskFile& file = context.PatchFile;
  std::uint8_t entryType = FileEntryType;
  if (context.TreeMode) ReadExactly(file, &entryType, 1);

  switch (entryType) {
    case EndEntryType:
      return EndEntryType;
    case EmbeddedEntryType:
      context.EntryName = ReadContainedName(file);
      return EmbeddedEntryType;
    case FileEntryType:
      ReadFileEntry(context);
      return FileEntryType;
    default:
      StopCorrupted();
  }
}

}  // namespace mendrix
