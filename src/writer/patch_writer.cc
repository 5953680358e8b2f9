// Writes a container in the order the reader takes it: header, notice,
// backup name, entries, trailer. A tree patch's entries are typed and closed
// by a 0 byte; a single-file patch's file entries have neither type byte nor
// names. An entry whose Type is neither a file nor an embedded file is
// written as its bare type byte, so that tests can build damaged tables.
#include "writer/patch_writer.h"

#include <cstdio>

#include "patchfile/byte_order.h"

namespace mendrix {
namespace {

void PutU8(std::vector<std::uint8_t>& out, std::uint8_t value) { out.push_back(value); }

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  std::uint8_t bytes[2];
  StoreU16Le(bytes, value);
  out.insert(out.end(), bytes, bytes + 2);
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  StoreU32Le(bytes, value);
  out.insert(out.end(), bytes, bytes + 4);
}

bool PutShortString(std::vector<std::uint8_t>& out, const std::string& text, const char* what,
                    std::string& error) {
  if (text.size() > 255) {
    error = std::string(what) + " \"" + text.substr(0, 40) + "...\" is over 255 bytes";
    return false;
  }
  out.push_back(static_cast<std::uint8_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
  return true;
}

void PutRange(std::vector<std::uint8_t>& out, const TExcludeRange& range) {
  PutU32(out, range.ExcludeStart);
  PutU32(out, range.ExcludeLength);
}

bool PutFileEntry(std::vector<std::uint8_t>& out, const TWriterEntry& entry, bool treeMode,
                  std::string& error) {
  if (entry.Variants.size() > 0xFFFF) {
    error = "entry \"" + entry.Name + "\" has more than 65535 variants";
    return false;
  }
  const bool hasRanges = (entry.Info.EntryFlags & EntryHasRanges) != 0;
  if (treeMode) PutU8(out, FileEntryType);
  PutU32(out, entry.Info.ResultCrc);
  PutU32(out, entry.Info.ResultSize);
  PutU32(out, entry.Info.ResultTime);
  PutU16(out, static_cast<std::uint16_t>(entry.Variants.size()));
  PutU16(out, entry.Info.EntryFlags);
  if (hasRanges) PutRange(out, entry.Exclude);
  if (treeMode && !PutShortString(out, entry.Name, "entry name", error)) return false;

  for (const TWriterVariant& variant : entry.Variants) {
    if (treeMode && !PutShortString(out, variant.Name, "variant name", error)) return false;
    PutU32(out, variant.Info.SourceCrc);
    PutU32(out, variant.Info.SourceSize);
    for (const auto& stream : variant.Streams) {
      if (stream.size() > 0xFFFFFFFFu) {
        error = "a delta stream of entry \"" + entry.Name + "\" is 4 GiB or more";
        return false;
      }
      PutU32(out, static_cast<std::uint32_t>(stream.size()));
    }
    PutU16(out, variant.Info.GroupLength);
    PutU8(out, variant.Info.VariantFlags);
    PutU8(out, variant.Info.BlockLength);
    if (hasRanges) PutRange(out, variant.Exclude);
    for (const auto& stream : variant.Streams) out.insert(out.end(), stream.begin(), stream.end());
  }
  return true;
}

bool PutEmbeddedEntry(std::vector<std::uint8_t>& out, const TWriterEntry& entry,
                      std::string& error) {
  if (entry.Content.size() > 0xFFFFFFFFu) {
    error = "embedded file \"" + entry.Name + "\" is 4 GiB or more";
    return false;
  }
  PutU8(out, EmbeddedEntryType);
  if (!PutShortString(out, entry.Name, "embedded name", error)) return false;
  PutU32(out, static_cast<std::uint32_t>(entry.Content.size()));
  PutU32(out, entry.EmbeddedTime);
  out.insert(out.end(), entry.Content.begin(), entry.Content.end());
  return true;
}

}  // namespace

bool WritePatch(const TWriterPatch& patch, std::vector<std::uint8_t>& out, std::string& error) {
  error.clear();
  const std::size_t start = out.size();
  const bool treeMode = patch.PatchKind == TreePatchKind;
  if (patch.Notice.size() > 0xFFFF) {
    error = "notice is over 65535 bytes";
    return false;
  }

  bool ok = true;
  PutU32(out, PatchMagic);
  PutU32(out, patch.FormatVersion);
  PutU8(out, patch.PatchKind);
  PutU8(out, patch.Reserved);
  out.insert(out.end(), patch.OpaqueBlock.begin(), patch.OpaqueBlock.end());
  PutU16(out, static_cast<std::uint16_t>(patch.Notice.size()));
  out.insert(out.end(), patch.Notice.begin(), patch.Notice.end());
  ok = PutShortString(out, patch.BackupName, "backup name", error);

  for (std::size_t i = 0; ok && i < patch.Entries.size(); ++i) {
    const TWriterEntry& entry = patch.Entries[i];
    if (entry.Type == FileEntryType) {
      ok = PutFileEntry(out, entry, treeMode, error);
    } else if (!treeMode) {
      error = "a single-file patch holds file entries only";
      ok = false;
    } else if (entry.Type == EmbeddedEntryType) {
      ok = PutEmbeddedEntry(out, entry, error);
    } else {
      PutU8(out, entry.Type);
    }
  }
  if (ok && treeMode && patch.WriteEndMarker) PutU8(out, EndEntryType);

  const std::size_t containerLength = out.size() - start + TrailerSize;
  if (ok && containerLength > 0xFFFFFFFFu) {
    error = "container of 4 GiB or more";
    ok = false;
  }
  if (!ok) {
    out.resize(start);
    return false;
  }
  PutU32(out, static_cast<std::uint32_t>(containerLength));
  PutU32(out, PatchMagic);
  return true;
}

bool WriteBytesToFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

}  // namespace mendrix
