// The state of the patch being applied, and the records read from it. It
// exists once per run and is passed by reference.
#ifndef MENDRIX_PATCHFILE_PATCH_CONTEXT_H_
#define MENDRIX_PATCHFILE_PATCH_CONTEXT_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fileio/fileio.h"
#include "patchfile/patch_format.h"

namespace mendrix {

struct TPatchHeader {
  std::uint32_t Magic = 0;
  std::uint32_t FormatVersion = 0;
  std::uint8_t PatchKind = 0;
  std::uint8_t Reserved = 0;
  std::array<std::uint8_t, OpaqueBlockSize> OpaqueBlock{};
  std::uint16_t NoticeLength = 0;
};

struct TEntryInfo {
  std::uint32_t ResultCrc = 0;
  std::uint32_t ResultSize = 0;
  std::uint32_t ResultTime = 0;  // DOS date-time, local time
  std::uint16_t VariantCount = 0;
  std::uint16_t EntryFlags = 0;
};

struct TVariantInfo {
  std::uint32_t SourceCrc = 0;
  std::uint32_t SourceSize = 0;
  std::array<std::uint32_t, StreamCount> StreamLength{};
  std::uint16_t GroupLength = 0;
  std::uint8_t VariantFlags = 0;
  std::uint8_t BlockLength = 0;
};

// The byte range of a file that its checksum leaves out; length 0: none.
struct TExcludeRange {
  std::uint32_t ExcludeStart = 0;
  std::uint32_t ExcludeLength = 0;
};

struct TPatchContext {
  // Set when the patch is opened.
  TDiskFile PatchFile;
  std::unique_ptr<TReadAhead> PatchReadAhead;  // PatchFile's
  TPatchHeader Header;
  bool TreeMode = false;
  std::string Notice;
  std::string BackupName;
  std::int32_t EntryTableOffset = 0;
  // Set by the run driver: ends in a separator.
  std::string TempDir;
  // Set for each entry read.
  TEntryInfo Entry;
  TExcludeRange EntryExclude;
  // The name from the patch (empty for a single-file patch); the install
  // side sets the paths where it goes, and a single file's name.
  std::string EntryName;
  std::string TargetPath;
  std::string EmbeddedPath;
  // One slot per variant of the entry last read (VariantCount of them).
  std::vector<TVariantInfo> Variants;
  std::vector<std::string> VariantPath;
  std::vector<TExcludeRange> VariantExclude;
  std::vector<std::int32_t> StreamOffset;
};

}  // namespace mendrix

#endif  // MENDRIX_PATCHFILE_PATCH_CONTEXT_H_
