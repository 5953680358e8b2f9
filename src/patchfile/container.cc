// The container is found from the end of its file, so a patch reads the same
// whether it stands alone or is appended to another file (the program's own,
// for a self-applying patch):
//
//   size - ContainerLength:  header (76): Magic, FormatVersion, PatchKind,
//                            Reserved, OpaqueBlock (64), NoticeLength (u16)
//                            notice (NoticeLength bytes)
//                            BackupName (short string)
//                            entry table ...
//   size - 8:                ContainerLength (u32), PatchMagic (u32)
//
// The checks run in a fixed order and each has its own message; a file that
// isn't a patch at all gets "unreadable or no patchfile" or "is no
// patchfile", and only a well-formed patch of another format version gets
// the version message.
#include "patchfile/container.h"

#include <array>
#include <cstdint>
#include <memory>

#include "console/console.h"
#include "patchfile/byte_order.h"

namespace mendrix {
namespace {

constexpr const char* DownloadSite = "http://www.mendrix.org";

[[noreturn]] void StopUnreadable(const std::string& path) {
  FatalStop("\r\nError, \"" + path + "\" unreadable or no patchfile.");
}

[[noreturn]] void StopNoPatch(const std::string& path) {
  FatalStop("\r\nError, \"" + path + "\" is no patchfile.");
}

TPatchHeader DecodeHeader(const std::array<std::uint8_t, HeaderSize>& bytes) {
  TPatchHeader header;
  header.Magic = LoadU32Le(&bytes[0]);
  header.FormatVersion = LoadU32Le(&bytes[4]);
  header.PatchKind = bytes[8];
  header.Reserved = bytes[9];
  for (int i = 0; i < OpaqueBlockSize; ++i) header.OpaqueBlock[i] = bytes[10 + i];
  header.NoticeLength = LoadU16Le(&bytes[74]);
  return header;
}

// The backup directory lies below the new data; an empty name is allowed
// (the checks for entry names also refuse an empty one).
bool IsContainedBackupName(const std::string& name) {
  return name.empty() || IsContainedName(name);
}

// Reads and checks the container up to the backup name, where the entry
// table starts.
void ReadContainer(TPatchContext& context, const std::string& path) {
  TDiskFile& file = context.PatchFile;
  // Entry records are read a few bytes at a time: the patch is read through
  // a buffer of its own.
  if (context.PatchReadAhead == nullptr)
    context.PatchReadAhead = std::make_unique_for_overwrite<TReadAhead>();
  file.ReadAhead = context.PatchReadAhead.get();
  OpenForReading(file, path);
  if (TakeIoStatus() != 0) {
    FatalStop("\r\nError, can't open patchfile \"" + path + "\" for reading!");
  }

  // A file shorter than the trailer gives a negative position; the failed
  // seek stays pending and fails the read.
  const std::int32_t fileSize = GetSize(file);
  SeekTo(file, fileSize - TrailerSize);
  std::array<std::uint8_t, 4> lengthBytes{};
  std::array<std::uint8_t, 4> magicBytes{};
  if (!ReadBlock(file, lengthBytes.data(), 4) || !ReadBlock(file, magicBytes.data(), 4)) {
    StopUnreadable(path);
  }
  const std::uint32_t containerLength = LoadU32Le(lengthBytes.data());
  const std::uint32_t trailerMagic = LoadU32Le(magicBytes.data());

  // A container longer than the file would start before its first byte.
  const std::int64_t containerStart = std::int64_t{fileSize} - containerLength;
  if (containerStart < 0) StopUnreadable(path);
  SeekTo(file, static_cast<std::int32_t>(containerStart));
  std::array<std::uint8_t, HeaderSize> headerBytes{};
  if (!ReadBlock(file, headerBytes.data(), HeaderSize)) StopUnreadable(path);
  context.Header = DecodeHeader(headerBytes);

  if (trailerMagic != PatchMagic || context.Header.Magic != PatchMagic) StopNoPatch(path);
  context.Notice.assign(context.Header.NoticeLength, '\0');
  if (!ReadBlock(file, context.Notice.data(), context.Header.NoticeLength)) {
    StopNoPatch(path);
  }
  if (!ReadShortString(file, context.BackupName)) StopNoPatch(path);
  // Replaced files are moved below the new data; a name that leads out of
  // it would move them anywhere.
  if (!IsContainedBackupName(context.BackupName)) StopNoPatch(path);

  if (context.Header.FormatVersion != PatchFormatVersion) {
    FatalStop(std::string("\r\nError, this version of Mendrix can't apply this patch!\r\n") +
              "Find appropiate version at " + DownloadSite + "/darnwell/mendr" +
              DecimalText(static_cast<std::int32_t>(context.Header.FormatVersion)) + ".htm");
  }

  context.TreeMode = context.Header.PatchKind == TreePatchKind;
}

}  // namespace

void OpenPatch(TPatchContext& context, const std::string& path) {
  ReadContainer(context, path);
  context.EntryTableOffset = GetPosition(context.PatchFile);
  if (context.EntryTableOffset < 0) StopUnreadable(path);
}

bool ReadShortString(TDiskFile& file, std::string& text) {
  text.clear();
  std::uint8_t length = 0;
  if (!ReadBlock(file, &length, 1)) return false;
  if (length == 0) return true;
  std::array<char, 255> bytes{};
  if (!ReadBlock(file, bytes.data(), length)) return false;
  text.assign(bytes.data(), length);
  return true;
}

void PrintNotice(const std::string& notice) {
  // The index just past the notice counts as a zero byte.
  auto byteAt = [&notice](std::size_t i) { return i < notice.size() ? notice[i] : '\0'; };
  for (std::size_t i = 0; i <= notice.size(); ++i) {
    const char byte = byteAt(i);
    if (byte == '#' && byteAt(i + 1) == '%') return;
    if (byte == '\0') {
      ConsoleWriteLn("");
    } else {
      ConsoleWrite(std::string_view(&byte, 1));
    }
  }
}

bool IsContainedName(const std::string& name) {
  if (name.empty()) return false;
  if (name.front() == '\\' || name.front() == '/') return false;
  std::size_t componentStart = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    const char c = i < name.size() ? name[i] : '\\';
    // A drive colon makes a name absolute; a zero byte would cut it short.
    if (c == ':' || c == '\0') return false;
    if (c != '\\' && c != '/') continue;
    // Windows drops trailing dots and spaces of a component, so ". ." or
    // "..." would act as ".." there: refuse every component of only dots and
    // spaces that holds two dots or more.
    int dots = 0;
    bool onlyDots = true;
    for (std::size_t k = componentStart; k < i; ++k) {
      if (name[k] == '.') {
        ++dots;
      } else if (name[k] != ' ') {
        onlyDots = false;
      }
    }
    if (onlyDots && dots >= 2) return false;
    componentStart = i + 1;
  }
  return true;
}

}  // namespace mendrix
