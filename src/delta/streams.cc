#include "delta/streams.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "console/console.h"

namespace mendrix {

namespace {

[[noreturn]] void CannotBuffer() { FatalStop("Error, can't buffer patchdata in temporary files!"); }

}  // namespace

bool RefillStream(TStreamReader& stream) {
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

bool CreateWorkFile(TRunFiles& run, const std::string& tempDir, TDiskFile& file,
                    std::string& name) {
  while (!run.Spare.empty()) {
    std::string spare = std::move(run.Spare.back());
    run.Spare.pop_back();
    OpenForWriting(file, spare);
    if (TakeIoStatus() == 0) {
      name = std::move(spare);
      return true;
    }
    DeleteQuietly(run, spare);
  }
  // Names held by files (left over from earlier runs, or links to files) are
  // passed over; a name that fails to be created (a directory, a dangling
  // link, an unwritable directory) counts as one attempt. The name is tried
  // first and looked at only when that fails: the same choice as asking
  // before each try, in one system call where it succeeds.
  int attempts = 0;
  for (std::uint32_t n = 0; attempts < MaxWorkFileNames; ++n) {
    std::string candidate = tempDir + "DWX" + std::to_string(n);
    if (IsCreatedFile(run, candidate)) continue;  // one of this run's own, still there
    CreateNewForWriting(file, candidate);
    if (TakeIoStatus() == 0) {
      RememberCreatedFile(run, candidate);
      name = candidate;
      return true;
    }
    if (!PathExists(candidate)) ++attempts;
  }
  return false;
}

bool CreateBesideFile(TRunFiles& run, const std::string& destination, TDiskFile& file,
                      std::string& name) {
  NoteDirectoryOf(run, destination);
  for (int n = 0; n < MaxWorkFileNames; ++n) {
    std::string candidate = destination + ".DWX" + std::to_string(n);
    CreateNewForWriting(file, candidate);
    if (TakeIoStatus() == 0) {
      RememberCreatedFile(run, candidate);
      name = std::move(candidate);
      return true;
    }
    // A name that is free but can't be created won't be on the next try.
    if (OsPathKind(candidate) == TOsPathKind::Missing) return false;
  }
  return false;
}

void BufferVariantStreams(TPatchContext& context, TRunFiles& run, TDecoder& decoder,
                          const TVariantInfo& variant, std::int32_t streamOffset) {
  // Lengths that run past the 32-bit positions of the patch can't be
  // meant; the entry reader refuses them too.
  std::int64_t end = streamOffset;
  for (std::uint32_t length : variant.StreamLength) end += length;
  if (streamOffset < 0 || end > INT32_MAX) FatalStop("Error, patch corrupted!");

  // A patch that ends inside the streams could not have them buffered.
  if (end > GetSize(context.PatchFile) || TakeIoStatus() != 0) CannotBuffer();

  std::int32_t position = streamOffset;
  for (int i = 0; i < StreamCount; ++i) {
    TStreamReader& stream = decoder.Streams[i];
    auto length = static_cast<std::int32_t>(variant.StreamLength[i]);
    if (stream.Name.empty() && !CreateWorkFile(run, context.TempDir, stream.File, stream.Name)) {
      CannotBuffer();
    }
    stream.Patch = &context.PatchFile;
    stream.Position = position;
    stream.Unread = length;
    stream.Next = 0;
    stream.End = 0;
    position += length;
    // A stream that fits the buffer is read at once.
    if (length <= StreamBufferSize && length > 0) (void)RefillStream(stream);
  }
  // Where the streams end, as if they had been read in one go.
  SeekTo(context.PatchFile, position);
  if (TakeIoStatus() != 0) CannotBuffer();
}

void DropWorkFile(TRunFiles& run, const std::string& name) { run.Spare.push_back(name); }

void ReleaseWorkFiles(TRunFiles& run, TDecoder& decoder) {
  for (const std::string& spare : run.Spare) DeleteQuietly(run, spare);
  run.Spare.clear();
  for (TStreamReader& stream : decoder.Streams) {
    if (stream.Name.empty()) continue;
    if (stream.File.State != TFileState::Closed) CloseDiskFile(stream.File);
    (void)TakeIoStatus();
    DeleteQuietly(run, stream.Name);
    stream.Name.clear();
    stream.Unread = 0;
    stream.Next = 0;
    stream.End = 0;
  }
}

void ResetBitReaders(TDecoder& decoder) {
  decoder.FlagBits.Index = 0;
  decoder.SignBits.Index = 0;
}

}  // namespace mendrix
