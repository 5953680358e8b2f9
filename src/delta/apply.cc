#include "delta/apply.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

#include "checksum/checksum.h"
#include "console/console.h"
#include "delta/streams.h"

namespace mendrix {

namespace {

// Addresses. Copies and old bytes are addressed in one space: an address
// below the source size is that byte of the source, one at or above it the
// byte (address - source size) of the output written so far. Addresses are
// held in 64 bits, so sums of patch values can't wrap.
//
// The output is written through a buffer: Buffer[0, Pending) are the bytes
// that follow the Flushed bytes already in the work file. Every read from
// the output is checked against Written() = Flushed + Pending, the bytes
// written so far, so the buffer never changes which reads succeed.

// A copy from the output moves in pieces of this many bytes, each of which
// must lie within what was written before it is read.
constexpr std::int64_t OutputCopyPiece = 1000;
// Reads at least this long bypass the pages.
constexpr std::int32_t DirectSourceRead = 32 * 1024;
// Largest insert piece (2 * 255 - 1) and largest add run (255), with room.
constexpr std::int32_t SmallBufferSize = 513 + CopySlack;

constexpr const char* CannotWrite = "Error, can't write patched file!";
// A staged result that can't be written (the disk is full) could not be
// put beside its target.
constexpr const char* CannotStage = "Error, can't copy temporary generated file!";

struct TSource {
  std::uint8_t* Pages = nullptr;  // the run's SourcePages
  TDiskFile File;
  std::int32_t Size = 0;
  // The whole source stands in Pages, from its first byte on; the
  // slots are then not used.
  bool Whole = false;
  // Slot i of Pages holds source page PageNumber[i] (its bytes from
  // PageNumber[i] * SourcePageSize on), or nothing when PageNumber[i] is -1.
  std::array<std::int64_t, SourcePageCount> PageNumber;
};

struct TOutput {
  std::uint8_t* Buffer = nullptr;  // the run's OutputBuffer
  TDiskFile File;
  std::int64_t Limit = 0;  // the target size: nothing is written past it
  std::int64_t Flushed = 0;
  std::int32_t Pending = 0;
  bool AtEnd = true;  // the file position is at Flushed
  // The checksum of the bytes flushed so far, with Exclude left out.
  bool Check = false;
  TExcludeRange Exclude;
  std::uint32_t Crc = CrcStart;
  const char* WriteFailure = CannotWrite;  // the stop when the disk refuses a write
  // Set for a staged result: bytes [0, WrittenOut) were handed to the disk.
  bool WriteOut = false;
  std::int64_t WrittenOut = 0;

  std::int64_t Written() const { return Flushed + Pending; }
};

struct TApplyState {
  TDecoder* Decoder = nullptr;
  TSource Source;
  TOutput Output;
  std::int64_t CopyPosition = 0;    // address of the last copy
  std::int64_t CopyLength = 0;      // length of the last copy
  std::int32_t AddCount = 0;        // add bytes after each copy: the last count byte
  std::int64_t GroupCountdown = 0;  // copies before the next count byte; read at 0 only
  std::uint16_t GroupLength = 0;
  std::uint8_t BlockLength = 0;
  bool AddMode = false;
  // Zeroed once: the slack past a run is read too, as part of one move.
  std::array<std::uint8_t, SmallBufferSize> NewBytes{};
  std::array<std::uint8_t, SmallBufferSize> OldBytes{};
};

// ReadSource where the bytes are not all in one cached page: the pages are
// filled as needed, and long reads bypass them.
bool ReadSourcePages(TSource& source, std::int64_t position, std::uint8_t* bytes, std::int32_t n) {
  if (n >= DirectSourceRead) {
    ReadExactAt(source.File, static_cast<std::int32_t>(position), bytes, n);
    return TakeIoStatus() == 0;
  }
  while (n > 0) {
    const auto at = static_cast<std::uint64_t>(position);  // not negative
    const auto page = static_cast<std::int64_t>(at / SourcePageSize);
    const auto slot = static_cast<std::size_t>(at / SourcePageSize % SourcePageCount);
    std::uint8_t* data = source.Pages + slot * SourcePageSize;
    const std::int64_t pageStart = page * SourcePageSize;
    if (source.PageNumber[slot] != page) {
      const auto length = static_cast<std::int32_t>(
          std::min<std::int64_t>(SourcePageSize, source.Size - pageStart));
      source.PageNumber[slot] = -1;
      ReadExactAt(source.File, static_cast<std::int32_t>(pageStart), data, length);
      if (TakeIoStatus() != 0) return false;
      source.PageNumber[slot] = page;
    }
    const auto offset = static_cast<std::size_t>(position - pageStart);  // below a page
    const std::int32_t piece = std::min(n, SourcePageSize - static_cast<std::int32_t>(offset));
    CopyRun(bytes, data + offset, piece);
    bytes += piece;
    position += piece;
    n -= piece;
  }
  return true;
}

// Reads n source bytes at position, which the caller has checked to lie
// inside the source, into bytes, which has CopySlack bytes of room past n
// (OldBytes, or the free part of the output buffer). Most reads find their
// bytes in one page already cached.
inline bool ReadSource(TSource& source, std::int64_t position, std::uint8_t* bytes,
                       std::int32_t n) {
  if (source.Whole) {
    CopyRun(bytes, source.Pages + position, n);
    return true;
  }
  const auto at = static_cast<std::uint64_t>(position);  // not negative
  const auto page = static_cast<std::int64_t>(at / SourcePageSize);
  const auto slot = static_cast<std::size_t>(page % SourcePageCount);
  const auto offset = static_cast<std::int32_t>(at % SourcePageSize);
  if (source.PageNumber[slot] == page && n <= SourcePageSize - offset) {
    CopyRun(bytes, source.Pages + slot * SourcePageSize + offset, n);
    return true;
  }
  return ReadSourcePages(source, position, bytes, n);
}

void FlushOutput(TOutput& output) {
  if (output.Pending == 0) return;
  if (!output.AtEnd) {
    SeekTo(output.File, static_cast<std::int32_t>(output.Flushed));  // a failure fails the write
    output.AtEnd = true;
  }
  // One write of the whole buffer, where WriteBlock would cut it into
  // pieces: true only when every byte moved and no failure was pending.
  WriteExact(output.File, output.Buffer, output.Pending);
  if (TakeIoStatus() != 0) FatalStop(output.WriteFailure);
  if (output.Check) {
    // The bytes are final once flushed: each is written once, in order.
    const std::int64_t start = output.Flushed;
    const std::int64_t end = start + output.Pending;
    const std::int64_t skipFrom =
        output.Exclude.ExcludeLength == 0
            ? end
            : std::clamp<std::int64_t>(output.Exclude.ExcludeStart, start, end);
    const std::int64_t skipTo =
        output.Exclude.ExcludeLength == 0
            ? end
            : std::clamp<std::int64_t>(
                  std::int64_t{output.Exclude.ExcludeStart} + output.Exclude.ExcludeLength, start,
                  end);
    output.Crc = CrcUpdate(output.Crc, output.Buffer, static_cast<std::int32_t>(skipFrom - start));
    output.Crc = CrcUpdate(output.Crc, output.Buffer + (skipTo - start),
                           static_cast<std::int32_t>(end - skipTo));
  }
  StopIfInterrupted();
  output.Flushed += output.Pending;
  output.Pending = 0;
  if (output.WriteOut) WriteOutUpTo(output.File, output.Flushed, output.WrittenOut);
}

// Free room at the end of the buffer, flushing it first when it is full.
std::int32_t OutputRoom(TOutput& output) {
  if (output.Pending == OutputBufferSize) FlushOutput(output);
  return OutputBufferSize - output.Pending;
}

// bytes has CopySlack bytes of room past n (NewBytes).
inline void AppendOutput(TOutput& output, const std::uint8_t* bytes, std::int32_t n) {
  if (output.Written() + n > output.Limit) FatalStop(CannotWrite);
  if (n >= 0 && n <= OutputBufferSize - output.Pending) {  // most often: the run fits
    CopyRun(output.Buffer + output.Pending, bytes, n);
    output.Pending += n;
    return;
  }
  while (n > 0) {
    std::int32_t piece = std::min(n, OutputRoom(output));
    CopyRun(output.Buffer + output.Pending, bytes, piece);
    output.Pending += piece;
    bytes += piece;
    n -= piece;
  }
}

// Reads n bytes of the output written so far, from offset on; false when
// they are not all written yet. bytes may point into the free part of the
// buffer.
bool ReadOutput(TOutput& output, std::int64_t offset, std::uint8_t* bytes, std::int32_t n) {
  if (offset < 0 || offset + n > output.Written()) return false;
  auto fromFile =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(output.Flushed - offset, 0, n));
  if (fromFile > 0) {
    output.AtEnd = false;  // a positioned read may move the file position (Win32)
    ReadExactAt(output.File, static_cast<std::int32_t>(offset), bytes, fromFile);
    if (TakeIoStatus() != 0) return false;
  }
  std::memcpy(bytes + fromFile, output.Buffer + (offset + fromFile - output.Flushed),
              static_cast<std::size_t>(n - fromFile));
  return true;
}

// Appends length bytes taken from the address space at position. A copy
// never changes sides: a run that starts in the source must end there, and
// one in the output must lie, piece by piece, in what was written before the
// piece is read. False when a read fails or the output would pass its limit.
bool CopyRange(TApplyState& state, std::int64_t position, std::int64_t length) {
  TSource& source = state.Source;
  TOutput& output = state.Output;
  if (output.Written() + length > output.Limit) return false;
  bool fromSource = position < source.Size;
  std::int64_t offset = fromSource ? position : position - source.Size;
  std::int64_t distance = output.Written() - offset;  // stays the same as the copy goes on
  if (fromSource) {
    if (position < 0 || position + length > source.Size) return false;
  } else if (distance < std::min(length, OutputCopyPiece)) {
    return false;
  }
  while (length > 0) {
    std::int64_t limit = fromSource ? length : std::min(length, distance);
    auto piece = static_cast<std::int32_t>(std::min<std::int64_t>(limit, OutputRoom(output)));
    std::uint8_t* bytes = output.Buffer + output.Pending;
    bool read = fromSource ? ReadSource(source, offset, bytes, piece)
                           : ReadOutput(output, offset, bytes, piece);
    if (!read) return false;
    output.Pending += piece;
    offset += piece;
    length -= piece;
  }
  return true;
}

// Reads n old bytes at address into state.OldBytes, from the side of the
// last copy's start (not of address itself).
inline void ReadOldBytes(TApplyState& state, std::int64_t address, std::int32_t n) {
  std::uint8_t* bytes = state.OldBytes.data();
  if (state.CopyPosition < state.Source.Size) {
    if (address < 0 || address + n > state.Source.Size ||
        !ReadSource(state.Source, address, bytes, n)) {
      FatalStop("Error, can't read from source file!");
    }
  } else if (!ReadOutput(state.Output, address - state.Source.Size, bytes, n)) {
    FatalStop("Error, can't access allready written parts!");
  }
}

void AddOldBytes(TApplyState& state, std::int32_t n) {
  if (n <= CopySlack) {  // the usual few bytes after a copy: added as one block
    std::array<std::uint8_t, CopySlack> sum;
    std::array<std::uint8_t, CopySlack> old;
    std::memcpy(sum.data(), state.NewBytes.data(), CopySlack);
    std::memcpy(old.data(), state.OldBytes.data(), CopySlack);
    for (std::size_t i = 0; i < sum.size(); ++i)
      sum[i] = static_cast<std::uint8_t>(sum[i] + old[i]);
    std::memcpy(state.NewBytes.data(), sum.data(), CopySlack);
    return;
  }
  for (std::int32_t i = 0; i < n; ++i) {
    state.NewBytes[i] = static_cast<std::uint8_t>(state.NewBytes[i] + state.OldBytes[i]);
  }
}

void Copy(TApplyState& state, std::int32_t length) {
  std::int32_t offset = ReadNumber(*state.Decoder);
  std::int64_t position = state.CopyPosition + state.CopyLength + offset;
  if (state.GroupCountdown == 0) {
    state.AddCount = ReadCountByte(*state.Decoder);
    state.GroupCountdown = state.GroupLength;
  }
  --state.GroupCountdown;
  if (position < INT32_MIN || position > INT32_MAX) FatalStop("Error, patch corrupted!");
  state.CopyPosition = position;
  state.CopyLength = length;
  if (!CopyRange(state, position, length)) FatalStop(CannotWrite);
  if (state.AddCount == 0) return;
  // The old bytes are read (and must exist) in both modes.
  ReadOldBytes(state, position + length, state.AddCount);
  if (!ReadAddRun(*state.Decoder, state.NewBytes.data(), state.AddCount)) {
    FatalStop("Error, can't read from patchfile?!");
  }
  if (state.AddMode) AddOldBytes(state, state.AddCount);
  AppendOutput(state.Output, state.NewBytes.data(), state.AddCount);
}

// An insert of length bytes, in pieces of BlockLength; the last piece takes
// the rest (up to 2 * BlockLength - 1 bytes). One flag per piece: 1 writes it
// as it stands, 0 adds it to the old bytes after the last copy.
void Insert(TApplyState& state, std::int64_t length) {
  const std::int64_t block = state.BlockLength;
  if (block == 0) FatalStop("Error, patch corrupted!");  // no piece could be cut
  const std::int64_t oldStart = state.CopyPosition + state.CopyLength + state.AddCount;
  for (std::int64_t start = 0;; start += block) {
    std::int64_t rest = length - start;
    auto piece = static_cast<std::int32_t>(rest >= 2 * block ? block : rest);
    if (!ReadInsertRun(*state.Decoder, state.NewBytes.data(), piece)) {
      FatalStop("Error, can't read from patchfile?!");
    }
    if (!ReadFlagBit(*state.Decoder)) {
      ReadOldBytes(state, oldStart + start, piece);
      AddOldBytes(state, piece);
    }
    AppendOutput(state.Output, state.NewBytes.data(), piece);
    if (rest < 2 * block) return;
  }
}

// A source that fits the pages is read in one piece: every later read is
// served from them. Where that read fails, the pages stay empty and are
// filled as the copies ask, as for a larger source.
void LoadWholeSource(TSource& source) {
  if (source.Size <= 0 || source.Size > SourcePageCount * SourcePageSize) return;
  ReadExactAt(source.File, 0, source.Pages, source.Size);
  if (TakeIoStatus() != 0) return;
  source.Whole = true;
}

// The source check: the checksum of the source with the excluded range left
// out. Taken from the pages when they hold the source and the range lies in
// it; any other case reads the file, whose rules for a range that runs past
// the end this keeps.
std::uint32_t SourceChecksum(TSource& source, const TExcludeRange& exclude) {
  const std::uint64_t start = exclude.ExcludeStart;
  const std::uint64_t end = start + exclude.ExcludeLength;
  const auto size = static_cast<std::uint64_t>(source.Size);
  if (!source.Whole || (exclude.ExcludeLength != 0 && end > size)) {
    return FileChecksum(source.File, exclude.ExcludeStart, exclude.ExcludeLength);
  }
  const std::uint8_t* bytes = source.Pages;
  if (exclude.ExcludeLength == 0) return CrcUpdate(CrcStart, bytes, source.Size);
  const std::uint32_t first = CrcUpdate(CrcStart, bytes, static_cast<std::int32_t>(start));
  return CrcUpdate(first, bytes + end, static_cast<std::int32_t>(size - end));
}

std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX));
}

// Opens the job's source and checks it; the pages are loaded where the
// source fits them. False (and nothing open) when the source is refused.
bool OpenSource(TApplyState& state, const TVariantJob& job) {
  TSource& source = state.Source;
  source.PageNumber.fill(-1);
  OpenForReading(source.File, job.SourcePath);
  if (TakeIoStatus() == 0) {
    source.Size = GetSize(source.File);
    // A file of 2 GiB or more can't be sized: it can't be patched either.
    if (source.Size < 0) {
      CloseDiskFile(source.File);
      (void)TakeIoStatus();
    }
  }
  if (source.File.State == TFileState::Closed) {
    if (job.Silent) return false;
    FatalStop("\r\nError, can't open \"" + job.SourcePath + "\" for patching!");
  }

  // A source of another size is refused before anything is read.
  const bool sizeMatches = std::int64_t{job.Variant->SourceSize} == source.Size;
  if (!job.VerifySource || sizeMatches) LoadWholeSource(source);
  if (job.VerifySource &&
      (!sizeMatches || SourceChecksum(source, job.Exclude) != job.Variant->SourceCrc)) {
    if (!job.Silent) {
      FatalStop("Error, this patch is not applicable to \"" + job.SourcePath + "\".");
    }
    CloseDiskFile(source.File);
    (void)TakeIoStatus();
    return false;
  }
  return true;
}

// Creates the output file: a work file, or the staged file beside its
// target. False when the staged file can't be created.
bool CreateOutput(TPatchContext& context, TRunFiles& run, TOutput& output, TVariantOutput& to) {
  if (to.StageBeside.empty()) {
    if (!CreateWorkFile(run, context.TempDir, output.File, to.Name)) {
      FatalStop("Error, can't buffer patchdata in temporary files!");
    }
  } else {
    MakeDirectories(run, to.StageBeside);
    if (!CreateBesideFile(run, to.StageBeside, output.File, to.Name)) return false;
    output.WriteFailure = CannotStage;
    output.WriteOut = true;
  }
  output.Check = to.Check;
  output.Exclude = to.Exclude;
  return true;
}

void Decode(TApplyState& state) {
  TDecoder& decoder = *state.Decoder;
  while (NumberBytesLeft(decoder) > 0) {
    const std::int32_t number = ReadNumber(decoder);
    if (number > 0) {
      Copy(state, number);
    } else if (number < 0) {
      Insert(state, -std::int64_t{number});
    } else {
      --state.GroupCountdown;
    }
  }
}

// Flushes, sizes, finishes and closes the output, and fills in to.
void CloseOutput(TOutput& output, TVariantOutput& to) {
  FlushOutput(output);
  // A work file written over may hold more from its earlier use.
  SetFileSize(output.File, static_cast<std::int32_t>(output.Written()));
  const bool sized = TakeIoStatus() == 0;
  if (to.Finish && sized) to.Finished = FinishFile(output.File, to.Model, to.Stamp, to.Identity);
  CloseDiskFile(output.File);
  if (TakeIoStatus() != 0 || !sized) FatalStop(output.WriteFailure);
  to.Size = output.Written();
  to.Crc = output.Crc;
  const std::int64_t excludeEnd = std::int64_t{to.Exclude.ExcludeStart} + to.Exclude.ExcludeLength;
  if (to.Check && to.Exclude.ExcludeLength != 0 && excludeEnd > to.Size) {
    // A range that runs past the end is read as the file checksum reads it.
    TDiskFile written;
    OpenForReading(written, to.Name);
    to.Crc = TakeIoStatus() == 0
                 ? FileChecksum(written, to.Exclude.ExcludeStart, to.Exclude.ExcludeLength)
                 : ~CrcStart;
    if (written.State != TFileState::Closed) CloseDiskFile(written);
    (void)TakeIoStatus();
  }
}

}  // namespace

TApplyResult ApplyVariantTo(TPatchContext& context, TWorkState& work, const TVariantJob& job,
                            TVariantOutput& to) {
  auto state = std::make_unique_for_overwrite<TApplyState>();
  state->Decoder = &work.Decoder;
  state->Source.Pages = work.SourcePages.data();
  state->Output.Buffer = work.OutputBuffer.data();
  TSource& source = state->Source;
  TOutput& output = state->Output;
  if (!OpenSource(*state, job)) return TApplyResult::SourceRefused;

  const TVariantInfo& variant = *job.Variant;
  const std::int32_t targetSize = job.TargetSize;
  const bool limitIsSum = (variant.VariantFlags & VariantLimitIsSum) != 0;
  TDecoder& decoder = work.Decoder;
  decoder.NumberLimit = ClampToInt32(limitIsSum ? std::int64_t{source.Size} + targetSize
                                                : std::max(source.Size, targetSize));
  decoder.NumberBytesLeft = static_cast<std::int32_t>(variant.StreamLength[NumberStream]);
  state->AddMode = (variant.VariantFlags & VariantAddModeOff) == 0;
  state->GroupLength = variant.GroupLength;
  state->BlockLength = variant.BlockLength;
  output.Limit = std::max(targetSize, 0);

  if (!CreateOutput(context, work.Files, output, to)) {
    CloseDiskFile(source.File);
    (void)TakeIoStatus();
    return TApplyResult::CantStage;
  }
  BufferVariantStreams(context, work.Files, decoder, variant, job.StreamOffset);
  ResetBitReaders(decoder);
  Decode(*state);
  CloseDiskFile(source.File);
  (void)TakeIoStatus();  // only read from; nothing is lost
  CloseOutput(output, to);
  return TApplyResult::Applied;
}

}  // namespace mendrix
