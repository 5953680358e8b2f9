// What a patch holds, read with Mendrix's own reader (src/patchfile), so that
// a damaged patch gets the same message and exit code 1 that Mendrix gives.
#ifndef MENDRIX_GENERATOR_LIST_PATCH_H_
#define MENDRIX_GENERATOR_LIST_PATCH_H_

#include <cstdint>
#include <string>
#include <vector>

namespace mendrix {

struct TListedVariant {
  std::string Source;  // the old file's name (tree patches)
  std::uint32_t SourceSize = 0;
  std::uint32_t SourceCrc = 0;
  std::int64_t DeltaLength = 0;  // bytes of its five streams
};

struct TListedEntry {
  bool Embedded = false;
  std::string Name;        // empty in a single-file patch
  std::uint32_t Size = 0;  // the result's, or the embedded file's
  std::uint32_t Crc = 0;   // file entries only
  std::uint32_t Time = 0;  // DOS date-time, local time
  std::vector<TListedVariant> Variants;
};

struct TPatchListing {
  bool Tree = false;
  std::uint8_t PatchKind = 0;
  std::uint32_t FormatVersion = 0;
  std::string Notice;  // as stored: zero bytes end lines
  std::string BackupName;
  std::int64_t FileSize = 0;     // the whole patch file
  std::int64_t ProgramSize = 0;  // bytes before the patch: a self-applying patch's program
  std::vector<TListedEntry> Entries;
};

// A notice split as Mendrix reads it: the text it shows (up to the first
// "#%") and the sections in other languages, each opened by a "#%" line.
struct TNoticeSection {
  std::string Heading;  // "" for the shown text; else the "#%..." line
  std::string Text;     // lines ended by "\n"
};
std::vector<TNoticeSection> SplitNotice(const std::string& notice);

// "YYYY-MM-DD hh:mm:ss", or "invalid (0x........)" when the stamp holds no date.
std::string DosTimeText(std::uint32_t stamp);

// Reads the patch at path. A damaged or unreadable patch: FatalStop with
// Mendrix's message (exit code 1).
TPatchListing ReadPatchListing(const std::string& path);

// The listing as text for people (lines ended by "\n"), or as one JSON
// object. Names are bytes in the system code page; in JSON, bytes that are
// not UTF-8 stand for the Latin-1 characters of the same value.
std::string ListingText(const std::string& path, const TPatchListing& listing);
std::string ListingJson(const std::string& path, const TPatchListing& listing);

// Reads and prints the listing on standard output; returns the exit code.
int ListPatch(const std::string& path, bool json);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_LIST_PATCH_H_
