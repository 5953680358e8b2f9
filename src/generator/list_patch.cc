#include "generator/list_patch.h"

#include <cstdio>

#include "console/console.h"
#include "fileio/fileio.h"
#include "install/embedded.h"
#include "patchfile/container.h"
#include "patchfile/entry_table.h"
#include "patchfile/patch_context.h"
#include "patchfile/patch_format.h"
#include "platform/platform.h"

namespace mendrix {

namespace {

std::string Hex8(std::uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
  return text;
}

std::string Plural(std::int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// Length of the UTF-8 sequence at text[at], or 0 when it isn't one.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  std::size_t length = 0;
  std::uint32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
  if ((length == 3 && value < 0x800) || (length == 4 && value < 0x10000) ||
      (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
    return 0;
  }
  return length;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const std::uint8_t byte = static_cast<std::uint8_t>(text[i]);
    if (byte >= 0x80) {
      const std::size_t length = Utf8Length(text, i);
      if (length > 0) {
        out.append(text, i, length);
        i += length;
        continue;
      }
    }
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escaped[7];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(byte));
          out += escaped;
        } else {
          out.push_back(static_cast<char>(byte));
        }
    }
    ++i;
  }
  return out + "\"";
}

struct TTotals {
  std::int64_t FileEntries = 0;
  std::int64_t Variants = 0;
  std::int64_t EmbeddedFiles = 0;
  std::int64_t ResultBytes = 0;
  std::int64_t DeltaBytes = 0;
  std::int64_t EmbeddedBytes = 0;
};

TTotals Totals(const TPatchListing& listing) {
  TTotals totals;
  for (const TListedEntry& entry : listing.Entries) {
    if (entry.Embedded) {
      ++totals.EmbeddedFiles;
      totals.EmbeddedBytes += entry.Size;
      continue;
    }
    ++totals.FileEntries;
    totals.ResultBytes += entry.Size;
    for (const TListedVariant& variant : entry.Variants) {
      ++totals.Variants;
      totals.DeltaBytes += variant.DeltaLength;
    }
  }
  return totals;
}

[[noreturn]] void StopCorrupted() { FatalStop("Error, patch corrupted!"); }

}  // namespace

std::vector<TNoticeSection> SplitNotice(const std::string& notice) {
  std::vector<TNoticeSection> sections;
  if (notice.empty()) return sections;
  // Zero bytes end lines; the end of the notice ends its last line.
  const auto finish = [](std::string text) {
    for (char& c : text) {
      if (c == '\0') c = '\n';
    }
    if (!text.empty() && text.back() != '\n') text.push_back('\n');
    return text;
  };
  std::size_t marker = notice.find("#%");
  sections.push_back({"", finish(notice.substr(0, marker))});
  while (marker != std::string::npos) {
    const std::size_t lineEnd = notice.find('\0', marker);
    const std::size_t next = notice.find("#%", marker + 2);
    TNoticeSection section;
    if (lineEnd == std::string::npos || (next != std::string::npos && next < lineEnd)) {
      // A heading that runs into the next marker or the end has no text.
      const std::size_t end = next == std::string::npos ? notice.size() : next;
      section.Heading = notice.substr(marker, end - marker);
    } else {
      section.Heading = notice.substr(marker, lineEnd - marker);
      const std::size_t end = next == std::string::npos ? notice.size() : next;
      section.Text = finish(notice.substr(lineEnd + 1, end - lineEnd - 1));
    }
    sections.push_back(std::move(section));
    marker = next;
  }
  return sections;
}

std::string DosTimeText(std::uint32_t stamp) {
  TDosTime time;
  if (!DecodeDosStamp(stamp, time)) return "invalid (0x" + Hex8(stamp) + ")";
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", time.Year, time.Month, time.Day,
                time.Hours, time.Minutes, time.Seconds);
  return text;
}

TPatchListing ReadPatchListing(const std::string& path) {
  TPatchContext context;
  OpenPatch(context, path);
  TPatchListing listing;
  listing.Tree = context.TreeMode;
  listing.PatchKind = context.Header.PatchKind;
  listing.FormatVersion = context.Header.FormatVersion;
  listing.Notice = context.Notice;
  listing.BackupName = context.BackupName;
  TDiskFile& file = context.PatchFile;
  listing.FileSize = GetSize(file);
  const std::int64_t tableStart = GetPosition(file);
  // The container checks leave the entry table just after the backup name.
  listing.ProgramSize = tableStart - HeaderSize - context.Header.NoticeLength - 1 -
                        static_cast<std::int64_t>(context.BackupName.size());
  for (;;) {
    const std::uint8_t type = ReadEntry(context);
    if (type == EndEntryType) break;
    TListedEntry entry;
    entry.Name = context.EntryName;
    if (type == EmbeddedEntryType) {
      const TEmbeddedRecord record = ReadEmbeddedRecord(context);
      SkipEmbeddedContent(context, record);
      entry.Embedded = true;
      entry.Size = record.Length;
      entry.Time = record.Stamp;
    } else {
      entry.Size = context.Entry.ResultSize;
      entry.Crc = context.Entry.ResultCrc;
      entry.Time = context.Entry.ResultTime;
      for (std::size_t k = 0; k < context.Variants.size(); ++k) {
        const TVariantInfo& info = context.Variants[k];
        TListedVariant variant;
        variant.Source = context.VariantPath[k];
        variant.SourceSize = info.SourceSize;
        variant.SourceCrc = info.SourceCrc;
        for (const std::uint32_t length : info.StreamLength) variant.DeltaLength += length;
        entry.Variants.push_back(std::move(variant));
      }
    }
    listing.Entries.push_back(std::move(entry));
    if (!context.TreeMode) break;
  }
  // Mendrix finds a shortfall when it reads the streams; a listing reads
  // none, so the table must end where the trailer starts at the latest.
  const std::int64_t tableEnd = GetPosition(file);
  if (TakeIoStatus() != 0 || tableEnd < 0 || tableEnd > listing.FileSize - TrailerSize) {
    StopCorrupted();
  }
  CloseDiskFile(file);
  (void)TakeIoStatus();  // only read from
  return listing;
}

std::string ListingText(const std::string& path, const TPatchListing& listing) {
  std::string out = "Patch \"" + path + "\"\n";
  out += "  kind:          " + std::string(listing.Tree ? "directory tree" : "single file") +
         " (kind " + std::to_string(listing.PatchKind) + "), format " +
         std::to_string(listing.FormatVersion) + "\n";
  out += "  size:          " + Plural(listing.FileSize, "byte", "bytes") + "\n";
  out += "  self-applying: " +
         (listing.ProgramSize > 0
              ? "yes, after a program of " + Plural(listing.ProgramSize, "byte", "bytes")
              : std::string("no")) +
         "\n";
  if (listing.Tree) out += "  backup folder: " + listing.BackupName + "\n";
  const std::vector<TNoticeSection> sections = SplitNotice(listing.Notice);
  if (sections.empty()) out += "  notice:        none\n";
  for (const TNoticeSection& section : sections) {
    out += section.Heading.empty()
               ? "  notice, shown by Mendrix:\n"
               : "  notice section \"" + section.Heading + "\", not shown by Mendrix:\n";
    std::size_t start = 0;
    while (start < section.Text.size()) {
      const std::size_t end = section.Text.find('\n', start);
      out += "    | " + section.Text.substr(start, end - start) + "\n";
      start = end + 1;
    }
  }
  out += "Entries:\n";
  for (const TListedEntry& entry : listing.Entries) {
    const std::string name = listing.Tree ? entry.Name : "(the patched file)";
    if (entry.Embedded) {
      out += "  " + name + "\n    embedded  " + Plural(entry.Size, "byte", "bytes") + ", " +
             DosTimeText(entry.Time) + "\n";
      continue;
    }
    out += "  " + name + "\n    result    " + Plural(entry.Size, "byte", "bytes") + ", " +
           DosTimeText(entry.Time) + ", checksum " + Hex8(entry.Crc) + "\n";
    for (const TListedVariant& variant : entry.Variants) {
      out += "    from      ";
      if (listing.Tree) {
        out += variant.Source + (variant.Source != entry.Name ? " (renamed)" : "") + ", ";
      }
      out += Plural(variant.SourceSize, "byte", "bytes") + ", checksum " + Hex8(variant.SourceCrc) +
             ", delta " + Plural(variant.DeltaLength, "byte", "bytes") + "\n";
    }
  }
  const TTotals totals = Totals(listing);
  out += "Totals: " + Plural(totals.FileEntries, "file entry", "file entries") + " with " +
         Plural(totals.Variants, "variant", "variants") + ", " +
         Plural(totals.EmbeddedFiles, "embedded file", "embedded files") + "; results " +
         Plural(totals.ResultBytes, "byte", "bytes") + ", deltas " +
         Plural(totals.DeltaBytes, "byte", "bytes") + ", embedded " +
         Plural(totals.EmbeddedBytes, "byte", "bytes") + ".\n";
  return out;
}

std::string ListingJson(const std::string& path, const TPatchListing& listing) {
  const auto number = [](std::int64_t value) { return std::to_string(value); };
  std::string out = "{\n";
  out += "  \"patch\": " + JsonString(path) + ",\n";
  out += "  \"kind\": \"" + std::string(listing.Tree ? "tree" : "file") + "\",\n";
  out += "  \"patchKind\": " + number(listing.PatchKind) + ",\n";
  out += "  \"formatVersion\": " + number(listing.FormatVersion) + ",\n";
  out += "  \"fileSize\": " + number(listing.FileSize) + ",\n";
  out += "  \"selfApplying\": " + std::string(listing.ProgramSize > 0 ? "true" : "false") + ",\n";
  out += "  \"programSize\": " + number(listing.ProgramSize) + ",\n";
  out += "  \"backupName\": " + (listing.Tree ? JsonString(listing.BackupName) : "null") + ",\n";
  const std::vector<TNoticeSection> sections = SplitNotice(listing.Notice);
  out += "  \"notice\": {\"shown\": " + JsonString(sections.empty() ? "" : sections[0].Text) +
         ", \"sections\": [";
  for (std::size_t i = 1; i < sections.size(); ++i) {
    out += std::string(i > 1 ? ", " : "") + "{\"heading\": " + JsonString(sections[i].Heading) +
           ", \"text\": " + JsonString(sections[i].Text) + "}";
  }
  out += "]},\n";
  out += "  \"entries\": [";
  for (std::size_t i = 0; i < listing.Entries.size(); ++i) {
    const TListedEntry& entry = listing.Entries[i];
    out += i > 0 ? ",\n    {" : "\n    {";
    out += "\"type\": \"" + std::string(entry.Embedded ? "embedded" : "file") + "\", ";
    out += "\"name\": " + (listing.Tree ? JsonString(entry.Name) : "null") + ", ";
    out += "\"size\": " + number(entry.Size) + ", ";
    out += "\"date\": " + JsonString(DosTimeText(entry.Time)) + ", ";
    out += "\"dosTime\": " + number(entry.Time);
    if (!entry.Embedded) {
      out += ", \"checksum\": \"" + Hex8(entry.Crc) + "\", \"variants\": [";
      for (std::size_t k = 0; k < entry.Variants.size(); ++k) {
        const TListedVariant& variant = entry.Variants[k];
        out += k > 0 ? ",\n      {" : "\n      {";
        out += "\"source\": " + (listing.Tree ? JsonString(variant.Source) : "null") + ", ";
        out += "\"size\": " + number(variant.SourceSize) + ", ";
        out += "\"checksum\": \"" + Hex8(variant.SourceCrc) + "\", ";
        out += "\"deltaSize\": " + number(variant.DeltaLength) + "}";
      }
      out += "]";
    }
    out += "}";
  }
  out += listing.Entries.empty() ? "],\n" : "\n  ],\n";
  const TTotals totals = Totals(listing);
  out += "  \"totals\": {\"fileEntries\": " + number(totals.FileEntries) +
         ", \"variants\": " + number(totals.Variants) +
         ", \"embeddedFiles\": " + number(totals.EmbeddedFiles) +
         ", \"resultBytes\": " + number(totals.ResultBytes) +
         ", \"deltaBytes\": " + number(totals.DeltaBytes) +
         ", \"embeddedBytes\": " + number(totals.EmbeddedBytes) + "}\n";
  out += "}\n";
  return out;
}

int ListPatch(const std::string& path, bool json) {
  const TPatchListing listing = ReadPatchListing(path);
  const std::string text = json ? ListingJson(path, listing) : ListingText(path, listing);
  if (json) {
    OutWrite(text);  // JSON keeps plain line ends
  } else {
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      OutWriteLn(std::string_view(text).substr(start, end - start));
      start = end + 1;
    }
  }
  return 0;
}

}  // namespace mendrix
