// The writing side of the patch format: a whole container (header, notice,
// backup name, entry table, trailer) from records given by field. Used by the
// tests, the demo, the benchmarks and the patch generator.
#ifndef MENDRIX_WRITER_PATCH_WRITER_H_
#define MENDRIX_WRITER_PATCH_WRITER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "patchfile/patch_context.h"
#include "writer/delta_encoder.h"

namespace mendrix {

struct TWriterVariant {
  std::string Name;       // tree patches: where the source is found; "" = entry name
  TVariantInfo Info;      // StreamLength is filled in from Streams when written
  TExcludeRange Exclude;  // written when the entry's EntryFlags bit 0 is set
  TDeltaStreams Streams;
};

struct TWriterEntry {
  std::uint8_t Type = FileEntryType;  // FileEntryType or EmbeddedEntryType
  std::string Name;                   // tree patches only
  // File entry. Info.VariantCount is filled in from Variants when written.
  TEntryInfo Info;
  TExcludeRange Exclude;
  std::vector<TWriterVariant> Variants;
  // Embedded file.
  std::uint32_t EmbeddedTime = 0;
  std::vector<std::uint8_t> Content;
};

struct TWriterPatch {
  std::uint32_t FormatVersion = PatchFormatVersion;
  std::uint8_t PatchKind = 1;  // TreePatchKind for a tree patch
  std::uint8_t Reserved = 0;
  std::array<std::uint8_t, OpaqueBlockSize> OpaqueBlock{};
  std::string Notice;  // zero bytes are line breaks; "#%" opens other languages
  std::string BackupName = "Backup";
  std::vector<TWriterEntry> Entries;  // a single-file patch has exactly one
  bool WriteEndMarker = true;         // tree patches: the closing 0 byte
};

// Appends the container to out (which may already hold bytes, such as a copy
// of the program). Fields that the format derives (ContainerLength,
// NoticeLength, VariantCount, StreamLength) are filled in here. False (with
// error set) when a record can't be written: a name over 255 bytes, a notice
// over 65535 bytes, more than 65535 variants, a container of 4 GiB or more.
bool WritePatch(const TWriterPatch& patch, std::vector<std::uint8_t>& out, std::string& error);

// Writes bytes to a file; false on failure.
bool WriteBytesToFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace mendrix

#endif  // MENDRIX_WRITER_PATCH_WRITER_H_
