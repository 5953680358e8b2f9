// Constants and record sizes of the patch format.
//
// A patch is a container found from the end of its file:
//
//   [anything]  header (76)  notice (NoticeLength)  backup name (short string)
//               entry table  trailer: ContainerLength (u32), PatchMagic (u32)
//
// All integers are little-endian. A short string is one length byte and that
// many bytes. The entry table of a single-file patch is one file entry without
// type byte or names; a tree patch has typed entries closed by a 0 byte:
//
//   file entry:     [1] TEntryInfo (16) [range] [name] then per variant:
//                   [name] TVariantInfo (32) [range] streams 0..4
//   embedded file:  2, name, EmbeddedLength (u32), EmbeddedTime (u32), bytes
//
// ([..] only in tree patches; a range is ExcludeStart, ExcludeLength, two u32,
// present when EntryFlags bit 0 is set.)
#ifndef MENDRIX_PATCHFILE_PATCH_FORMAT_H_
#define MENDRIX_PATCHFILE_PATCH_FORMAT_H_

#include <cstdint>

namespace mendrix {

constexpr std::uint32_t PatchMagic = 0x3E7F8443;  // opens every header, ends every patch
constexpr std::uint32_t PatchFormatVersion = 190;
constexpr std::uint8_t TreePatchKind = 2;  // any other kind is a single-file patch

constexpr int TrailerSize = 8;         // bytes: ContainerLength, PatchMagic
constexpr int HeaderSize = 76;         // bytes of TPatchHeader
constexpr int OpaqueBlockSize = 64;    // bytes in the header not interpreted
constexpr int EntryInfoSize = 16;      // bytes of TEntryInfo
constexpr int VariantInfoSize = 32;    // bytes of TVariantInfo
constexpr int ExcludeRangeSize = 8;    // bytes: ExcludeStart, ExcludeLength
constexpr int EmbeddedRecordSize = 8;  // bytes: EmbeddedLength, EmbeddedTime
constexpr int StreamCount = 5;         // delta streams per variant

// Entry types of a tree patch.
constexpr std::uint8_t EndEntryType = 0;
constexpr std::uint8_t FileEntryType = 1;
constexpr std::uint8_t EmbeddedEntryType = 2;

// EntryFlags bit 0: an excluded range follows TEntryInfo and each TVariantInfo.
constexpr std::uint16_t EntryHasRanges = 0x0001;
// VariantFlags bit 0: NumberLimit is source size + target size (else the larger).
constexpr std::uint8_t VariantLimitIsSum = 0x01;
// VariantFlags bit 1: add bytes are written as they stand (AddMode off).
constexpr std::uint8_t VariantAddModeOff = 0x02;

// Delta streams, in the order they lie in the patch.
constexpr int NumberStream = 0;
constexpr int FlagStream = 1;
constexpr int SignStream = 2;
constexpr int InsertStream = 3;
constexpr int AddStream = 4;

}  // namespace mendrix

#endif  // MENDRIX_PATCHFILE_PATCH_FORMAT_H_
