#include "delta/streams.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "console/console.h"

namespace mendrix {

namespace {

// Bytes a stream reader holds from its work file at a time.
constexpr std::int32_t StreamBufferSize = 64 * 1024;

// One stream, read forwards through a buffer from where it stands in the
// patch. Its work file is made (a temp directory that can't take the work
// files stops the run there) but not written: the streams are read in place,
// which spares writing and reading back the whole delta of every variant.
// Invariant: Buffer[Next, End) are the next bytes of the stream, and Unread
// more follow them in the patch from Position on.
struct TStreamReader {
  TDiskFile File;
  std::string Name;  // empty while no work file is held
  TDiskFile* Patch = nullptr;
  std::int32_t Position = 0;
  std::int64_t Unread = 0;
  std::int32_t Next = 0;
  std::int32_t End = 0;
  std::array<std::uint8_t, StreamBufferSize> Buffer;
};

// A bit sequence over one stream: bits of Current are taken from bit 0 up;
// an Index of 0 means the next bit needs a new byte.
struct TBitReader {
  std::uint8_t Current = 0;
  int Index = 0;
};

// The decoder state: one variant is decoded at a time.
struct TDecoderState {
  std::array<TStreamReader, StreamCount> Streams;
  TBitReader FlagBits;
  TBitReader SignBits;
  std::int32_t NumberLimit = 0;
  std::int64_t NumberBytesLeft = 0;
};

TDecoderState Decoder;

// Output work files the run is done with, kept to be written over by the
// next output: in a tree of many small files, creating and deleting a file
// for every variant costs more than the rebuilding itself.
std::vector<std::string> SpareWorkFiles;

bool Refill(TStreamReader& stream) {
  if (stream.Unread <= 0) return false;
  auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(stream.Unread, StreamBufferSize));
  stream.Next = 0;
  stream.End = 0;
  // The patch was found to hold the whole stream: only a failing disk can
  // refuse these bytes, as it could have refused buffering them.
  ReadExactAt(*stream.Patch, stream.Position, stream.Buffer.data(), piece);
  if (TakeIoStatus() != 0) FatalStop("Error, can't buffer patchdata in temporary files!");
  stream.End = piece;
  stream.Position += piece;
  stream.Unread -= piece;
  return true;
}

bool TakeByte(TStreamReader& stream, std::uint8_t& byte) {
  if (stream.Next == stream.End && !Refill(stream)) return false;
  byte = stream.Buffer[stream.Next++];
  return true;
}

bool TakeBytes(TStreamReader& stream, std::uint8_t* buffer, std::int32_t count) {
  while (count > 0) {
    if (stream.Next == stream.End && !Refill(stream)) return false;
    std::int32_t piece = std::min(count, stream.End - stream.Next);
    std::memcpy(buffer, stream.Buffer.data() + stream.Next, static_cast<std::size_t>(piece));
    stream.Next += piece;
    buffer += piece;
    count -= piece;
  }
  return true;
}

bool ReadBit(TBitReader& bits, TStreamReader& stream) {
  if (bits.Index == 0 && !TakeByte(stream, bits.Current)) InternalError(30);
  bool bit = ((bits.Current >> bits.Index) & 1u) != 0;
  bits.Index = (bits.Index + 1) & 7;
  return bit;
}

// One byte of the number stream, or InternalError with code.
std::uint32_t TakeNumberByte(std::int32_t code) {
  std::uint8_t byte = 0;
  if (!TakeByte(Decoder.Streams[NumberStream], byte)) InternalError(code);
  --Decoder.NumberBytesLeft;
  return byte;
}

[[noreturn]] void CannotBuffer() {
  FatalStop("Error, can't buffer patchdata in temporary files!");
}

}  // namespace

std::string NewWorkFileName(const std::string& tempDir) {
  for (std::uint32_t n = 0;; ++n) {
    std::string name = tempDir + "DWX" + std::to_string(n);
    if (!PathExists(name)) return name;
  }
}

bool CreateWorkFile(const std::string& tempDir, TDiskFile& file, std::string& name) {
  while (!SpareWorkFiles.empty()) {
    std::string spare = std::move(SpareWorkFiles.back());
    SpareWorkFiles.pop_back();
    OpenForWriting(file, spare);
    if (TakeIoStatus() == 0) {
      name = std::move(spare);
      return true;
    }
    DeleteQuietly(spare);
  }
  // Names held by files (left over from earlier runs, or links to files) are
  // passed over; a name that fails to be created (a directory, a dangling
  // link, an unwritable directory) counts as one attempt. The name is tried
  // first and looked at only when that fails: the same choice as asking
  // before each try, in one system call where it succeeds.
  int attempts = 0;
  for (std::uint32_t n = 0; attempts < MaxWorkFileNames; ++n) {
    std::string candidate = tempDir + "DWX" + std::to_string(n);
    if (IsCreatedFile(candidate)) continue;  // one of this run's own, still there
    CreateNewForWriting(file, candidate);
    if (TakeIoStatus() == 0) {
      RememberCreatedFile(candidate);
      name = candidate;
      return true;
    }
    if (!PathExists(candidate)) ++attempts;
  }
  return false;
}

bool CreateBesideFile(const std::string& destination, TDiskFile& file, std::string& name) {
  NoteDirectoryOf(destination);
  for (int n = 0; n < MaxWorkFileNames; ++n) {
    std::string candidate = destination + ".DWX" + std::to_string(n);
    CreateNewForWriting(file, candidate);
    if (TakeIoStatus() == 0) {
      RememberCreatedFile(candidate);
      name = std::move(candidate);
      return true;
    }
    // A name that is free but can't be created won't be on the next try.
    if (OsPathKind(candidate) == TOsPathKind::Missing) return false;
  }
  return false;
}

void BufferVariantStreams(TPatchContext& context, const TVariantInfo& variant,
                          std::int32_t streamOffset) {
  // Lengths that run past the 32-bit positions of the patch can't be
  // meant; the entry reader refuses them too.
  std::int64_t end = streamOffset;
  for (std::uint32_t length : variant.StreamLength) end += length;
  if (streamOffset < 0 || end > INT32_MAX) FatalStop("Error, patch corrupted!");

  // A patch that ends inside the streams could not have them buffered.
  if (end > GetSize(context.PatchFile) || TakeIoStatus() != 0) CannotBuffer();

  std::int32_t position = streamOffset;
  for (int i = 0; i < StreamCount; ++i) {
    TStreamReader& stream = Decoder.Streams[i];
    auto length = static_cast<std::int32_t>(variant.StreamLength[i]);
    if (stream.Name.empty() && !CreateWorkFile(context.TempDir, stream.File, stream.Name)) {
      CannotBuffer();
    }
    stream.Patch = &context.PatchFile;
    stream.Position = position;
    stream.Unread = length;
    stream.Next = 0;
    stream.End = 0;
    position += length;
    // A stream that fits the buffer is read at once.
    if (length <= StreamBufferSize && length > 0) (void)Refill(stream);
  }
  // Where the streams end, as if they had been read in one go.
  SeekTo(context.PatchFile, position);
  if (TakeIoStatus() != 0) CannotBuffer();
}

void DropWorkFile(const std::string& name) { SpareWorkFiles.push_back(name); }

void ReleaseWorkFiles() {
  for (const std::string& spare : SpareWorkFiles) DeleteQuietly(spare);
  SpareWorkFiles.clear();
  for (TStreamReader& stream : Decoder.Streams) {
    if (stream.Name.empty()) continue;
    if (stream.File.State != TFileState::Closed) CloseDiskFile(stream.File);
    (void)TakeIoStatus();
    DeleteQuietly(stream.Name);
    stream.Name.clear();
    stream.Unread = 0;
    stream.Next = 0;
    stream.End = 0;
  }
}

void ResetBitReaders() {
  Decoder.FlagBits.Index = 0;
  Decoder.SignBits.Index = 0;
}

bool ReadFlagBit() { return ReadBit(Decoder.FlagBits, Decoder.Streams[FlagStream]); }

bool ReadSignBit() { return ReadBit(Decoder.SignBits, Decoder.Streams[SignStream]); }

void SetNumberLimit(std::int32_t limit) { Decoder.NumberLimit = limit; }

void SetNumberBytesLeft(std::int32_t count) { Decoder.NumberBytesLeft = count; }

std::int32_t NumberBytesLeft() {
  return static_cast<std::int32_t>(std::max<std::int64_t>(Decoder.NumberBytesLeft, INT32_MIN));
}

std::int32_t ReadNumber() {
  bool negative = ReadSignBit();
  std::uint32_t magnitude = TakeNumberByte(40);
  if (Decoder.NumberLimit > 0xFF && ReadSignBit()) {
    magnitude = magnitude << 8 | TakeNumberByte(41);
    if (Decoder.NumberLimit > 0xFFFF && ReadFlagBit()) {
      magnitude = magnitude << 8 | TakeNumberByte(42);
      if (Decoder.NumberLimit > 0xFFFFFF && ReadFlagBit()) {
        magnitude = magnitude << 8 | TakeNumberByte(43);
        // No file reaches 2 GiB, so no meaningful number does either.
        if (magnitude > 0x7FFFFFFFu) FatalStop("Error, patch corrupted!");
      }
    }
  }
  auto value = static_cast<std::int32_t>(magnitude);
  return negative ? -value : value;
}

std::uint8_t ReadCountByte() { return static_cast<std::uint8_t>(TakeNumberByte(50)); }

bool ReadInsertBytes(std::uint8_t* buffer, std::int32_t count) {
  return TakeBytes(Decoder.Streams[InsertStream], buffer, count);
}

bool ReadAddBytes(std::uint8_t* buffer, std::int32_t count) {
  return TakeBytes(Decoder.Streams[AddStream], buffer, count);
}

}  // namespace mendrix
