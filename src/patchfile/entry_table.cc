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

// One fixed-size record read whole from the patch; its little-endian fields
// are then taken in order.
template <int Size>
struct TRecord {
  explicit TRecord(TDiskFile& file) { ReadExactly(file, Bytes.data(), Size); }
  std::uint32_t U32() { return Take(4, LoadU32Le(Bytes.data() + Next)); }
  std::uint16_t U16() {
    return static_cast<std::uint16_t>(Take(2, LoadU16Le(Bytes.data() + Next)));
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Take(1, Bytes[Next])); }
  std::uint32_t Take(int length, std::uint32_t value) {
    Next += length;
    return value;
  }

  std::array<std::uint8_t, Size> Bytes{};
  int Next = 0;
};

TExcludeRange ReadRange(TDiskFile& file, bool present) {
  if (!present) return TExcludeRange();
  TRecord<ExcludeRangeSize> record(file);
  // A braced list is evaluated from left to right: the fields come in order.
  return {record.U32(), record.U32()};
}

TEntryInfo ReadEntryInfo(TDiskFile& file) {
  TRecord<EntryInfoSize> record(file);
  return {record.U32(), record.U32(), record.U32(), record.U16(), record.U16()};
}

TVariantInfo ReadVariantInfo(TDiskFile& file) {
  TRecord<VariantInfoSize> record(file);
  return {record.U32(),
          record.U32(),
          {record.U32(), record.U32(), record.U32(), record.U32(), record.U32()},
          record.U16(),
          record.U8(),
          record.U8()};
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
