#include "fileio/fileio.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace mendrix {

namespace {

// The one pending failure of the process; 0 when none is pending.
int IoStatus = 0;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

// Codes for failures the layer finds itself, before any system call.
constexpr int NotOpenFailure = EBADF;
constexpr int ShortTransferFailure = EIO;
constexpr int OutOfRangeFailure = EINVAL;
constexpr int StillOpenFailure = EBUSY;

void Fail(int code) { IoStatus = code != 0 ? code : OsGenericError; }

bool IsOpen(const TDiskFile& file) { return file.State != TFileState::Closed; }

// The file's position is where the system says: nothing is buffered.
void ResetReadAhead(TDiskFile& file, std::int64_t start) {
  if (file.ReadAhead == nullptr) return;
  file.ReadAhead->Start = start;
  file.ReadAhead->Next = 0;
  file.ReadAhead->End = 0;
}

void CloseQuietly(TDiskFile& file) {
  file.ReadOnlySize = -1;
  if (!IsOpen(file)) return;
  (void)OsClose(file.Handle);
  file.Handle = NoHandle;
  file.State = TFileState::Closed;
}

template <typename TOpener>
void Open(TDiskFile& file, const std::string& path, TOpener opener, TFileState state) {
  CloseQuietly(file);
  file.Path = path;
  TOsHandle handle = NoHandle;
  int error = opener(path, handle);
  if (error != 0) {
    Fail(error);
    return;
  }
  file.Handle = handle;
  file.State = state;
  ResetReadAhead(file, 0);
}

// ReadBlock and WriteBlock: pieces of at most BlockPiece bytes; a failed
// piece does not end the loop.
template <typename TBuffer, typename TTransfer>
bool TransferBlock(TDiskFile& file, TBuffer* buffer, std::int32_t count, TTransfer transfer) {
  std::int32_t remaining = count;
  while (remaining > 0) {
    std::int32_t piece = std::min(remaining, BlockPiece);
    transfer(file, buffer + (count - remaining), piece);
    remaining -= piece;
  }
  return TakeIoStatus() == 0;
}

}  // namespace

void OpenForReading(TDiskFile& file, const std::string& path) {
  std::int64_t size = -1;
  Open(
      file, path,
      [&size](const std::string& name, TOsHandle& handle) {
        return OsOpenRead(name, handle, size);
      },
      TFileState::ReadOnly);
  if (IsOpen(file)) file.ReadOnlySize = size;
}

void CreateNewForWriting(TDiskFile& file, const std::string& path) {
  Open(file, path, OsCreateNew, TFileState::ReadWrite);
}

void OpenForWriting(TDiskFile& file, const std::string& path) {
  Open(file, path, OsOpenWrite, TFileState::ReadWrite);
}

namespace {

// One read through reader (an OS read taking the handle and done); fewer
// bytes than count is a failure.
template <typename TReader>
void ReadWith(TDiskFile& file, std::int32_t count, TReader reader) {
  if (!IsOpen(file)) return Fail(NotOpenFailure);
  if (count <= 0) return;
  std::int32_t done = 0;
  int error = reader(file.Handle, done);
  if (error != 0) return Fail(error);
  if (done != count) Fail(ShortTransferFailure);
}

// ReadExact through the file's read-ahead buffer.
void ReadAheadExact(TDiskFile& file, std::uint8_t* buffer, std::int32_t count) {
  TReadAhead& ahead = *file.ReadAhead;
  if (ahead.Start < 0) {
    std::int64_t position = 0;
    if (int error = OsGetPosition(file.Handle, position); error != 0) return Fail(error);
    ResetReadAhead(file, position);
  }
  const std::int32_t buffered = std::min(count, ahead.End - ahead.Next);
  std::memcpy(buffer, ahead.Bytes.data() + ahead.Next, static_cast<std::size_t>(buffered));
  ahead.Next += buffered;
  buffer += buffered;
  count -= buffered;
  if (count == 0) return;
  ResetReadAhead(file, ahead.Start + ahead.End);  // everything buffered is taken
  // A long read goes straight to the caller; a short one fills the buffer.
  const bool direct = count >= TReadAhead::Size;
  std::int32_t done = 0;
  int error = OsRead(file.Handle, direct ? buffer : ahead.Bytes.data(),
                     direct ? count : TReadAhead::Size, done);
  if (error != 0) {
    ResetReadAhead(file, -1);
    return Fail(error);
  }
  if (direct) {
    ahead.Start += done;
  } else {
    ahead.End = done;
    ahead.Next = std::min(count, done);
    std::memcpy(buffer, ahead.Bytes.data(), static_cast<std::size_t>(ahead.Next));
    done = ahead.Next;
  }
  if (done != count) Fail(ShortTransferFailure);
}

}  // namespace

void ReadExact(TDiskFile& file, void* buffer, std::int32_t count) {
  if (file.ReadAhead != nullptr && IsOpen(file) && count > 0) {
    return ReadAheadExact(file, static_cast<std::uint8_t*>(buffer), count);
  }
  ReadWith(file, count, [&](TOsHandle handle, std::int32_t& done) {
    return OsRead(handle, buffer, count, done);
  });
}

void ReadExactAt(TDiskFile& file, std::int32_t position, void* buffer, std::int32_t count) {
  if (position < 0) return Fail(OutOfRangeFailure);
  ReadWith(file, count, [&](TOsHandle handle, std::int32_t& done) {
    return OsReadAt(handle, position, buffer, count, done);
  });
  ResetReadAhead(file, -1);  // the system may have moved the position
}

void WriteExact(TDiskFile& file, const void* buffer, std::int32_t count) {
  if (file.State != TFileState::ReadWrite) return Fail(NotOpenFailure);
  if (count <= 0) return;
  if (file.ReadAhead != nullptr && file.ReadAhead->Start >= 0 &&
      file.ReadAhead->Next != file.ReadAhead->End) {
    // The write goes where reading stands, not where the read-ahead ended.
    if (int error = OsSeek(file.Handle, file.ReadAhead->Start + file.ReadAhead->Next); error != 0) {
      return Fail(error);
    }
  }
  ResetReadAhead(file, -1);
  std::int32_t done = 0;
  int error = OsWrite(file.Handle, buffer, count, done);
  if (error != 0) return Fail(error);
  if (done != count) Fail(ShortTransferFailure);
}

void SeekTo(TDiskFile& file, std::int32_t position) {
  if (!IsOpen(file)) return Fail(NotOpenFailure);
  if (position < 0) return Fail(OutOfRangeFailure);
  if (TReadAhead* ahead = file.ReadAhead; ahead != nullptr && ahead->Start >= 0 &&
                                          position >= ahead->Start &&
                                          position <= ahead->Start + ahead->End) {
    ahead->Next = static_cast<std::int32_t>(position - ahead->Start);
    return;
  }
  int error = OsSeek(file.Handle, position);
  if (error != 0) return Fail(error);
  ResetReadAhead(file, position);
}

std::int32_t GetSize(TDiskFile& file) {
  if (!IsOpen(file)) {
    Fail(NotOpenFailure);
    return -1;
  }
  std::int64_t size = file.ReadOnlySize;
  if (size < 0) {
    int error = OsGetSize(file.Handle, size);
    if (error != 0) {
      Fail(error);
      return -1;
    }
  }
  if (size > INT32_MAX) {  // files of 2 GiB and more are out of reach
    Fail(OutOfRangeFailure);
    return -1;
  }
  return static_cast<std::int32_t>(size);
}

std::int32_t GetPosition(TDiskFile& file) {
  if (!IsOpen(file)) {
    Fail(NotOpenFailure);
    return -1;
  }
  if (file.ReadAhead != nullptr && file.ReadAhead->Start >= 0 &&
      file.ReadAhead->Start + file.ReadAhead->Next <= INT32_MAX) {
    return static_cast<std::int32_t>(file.ReadAhead->Start + file.ReadAhead->Next);
  }
  std::int64_t position = 0;
  int error = OsGetPosition(file.Handle, position);
  if (error != 0) {
    Fail(error);
    return -1;
  }
  if (file.ReadAhead != nullptr && file.ReadAhead->Start < 0) ResetReadAhead(file, position);
  if (position > INT32_MAX) {
    Fail(OutOfRangeFailure);
    return -1;
  }
  return static_cast<std::int32_t>(position);
}

void SetFileSize(TDiskFile& file, std::int32_t size) {
  if (file.State != TFileState::ReadWrite) return Fail(NotOpenFailure);
  if (size < 0) return Fail(OutOfRangeFailure);
  int error = OsSetSize(file.Handle, size);
  if (error != 0) Fail(error);
}

void WriteOutUpTo(TDiskFile& file, std::int64_t written, std::int64_t& writtenOut) {
  // Smaller pieces (a hint per small file of a tree) cost more than they save.
  constexpr std::int64_t WriteOutPiece = std::int64_t{1024} * 1024;
  if (written - writtenOut < WriteOutPiece) return;
  if (file.State == TFileState::ReadWrite)
    OsStartWriteOut(file.Handle, writtenOut, written - writtenOut);
  writtenOut = written;
}

void CloseDiskFile(TDiskFile& file) {
  file.ReadOnlySize = -1;
  if (!IsOpen(file)) return Fail(NotOpenFailure);
  int error = OsClose(file.Handle);
  file.Handle = NoHandle;
  file.State = TFileState::Closed;
  if (error != 0) Fail(error);
}

void DeleteDiskFile(TDiskFile& file) {
  if (IsOpen(file)) return Fail(StillOpenFailure);
  int error = OsDelete(file.Path);
  if (error != 0) Fail(error);
}

void MoveDiskFile(TDiskFile& file, const std::string& newPath) {
  if (IsOpen(file)) return Fail(StillOpenFailure);
  int error = OsRename(file.Path, newPath);
  if (error != 0) return Fail(error);
  file.Path = newPath;
}

void ReplaceDiskFile(TDiskFile& file, const std::string& destination) {
  if (IsOpen(file)) return Fail(StillOpenFailure);
  int error = OsReplace(file.Path, destination);
  if (error != 0) return Fail(error);
  file.Path = destination;
}

void LinkDiskFile(TDiskFile& file, const std::string& linkPath) {
  if (IsOpen(file)) return Fail(StillOpenFailure);
  int error = OsLink(file.Path, linkPath);
  if (error != 0) Fail(error);
}

bool SameFile(const std::string& first, const std::string& second) {
  return OsSameFile(first, second);
}

void MakeDirectory(const std::string& path) {
  int error = OsMakeDirectory(path);
  if (error != 0) Fail(error);
}

void MakeDirectories(TRunFiles& run, const std::string& path) {
  // Most often the whole way exists already.
  const std::size_t last = path.find_last_of("/\\");
  if (last == std::string::npos || OsIsDirectory(path.substr(0, last))) return;
  std::string accumulated;
  for (char c : path) {
    if (c == '/' || c == '\\') {
      if (!accumulated.empty() && !OsIsDirectory(accumulated)) {
        NoteDirectoryOf(run, accumulated);
        if (OsMakeDirectory(accumulated) == 0) run.Directories.push_back(accumulated);
      }
      accumulated += '\\';
    } else {
      accumulated += c;
    }
  }
  (void)TakeIoStatus();
}

bool PathExists(const std::string& path) { return OsIsRegularFile(path); }

int SetFileStamp(TDiskFile& file, std::uint32_t stamp) {
  if (file.State != TFileState::ReadWrite) return NotOpenFailure;
  return OsSetWriteTime(file.Handle, stamp);
}

bool FinishFile(TDiskFile& file, const std::string& model, std::uint32_t stamp,
                TOsFileIdentity& identity) {
  if (file.State != TFileState::ReadWrite) return false;
  (void)SetFileStamp(file, stamp);
  return OsTakeOwnerAndMode(model, file.Handle) == 0 &&
         OsHandleIdentity(file.Handle, identity) == 0;
}

int MakeDirectoryLike(TRunFiles& run, const std::string& path, const std::string& model) {
  NoteDirectoryOf(run, path);
  const int error = OsMakeDirectoryLike(path, model);
  if (error == 0) run.Directories.push_back(path);
  return error;
}

int TakeIoStatus() {
  int status = IoStatus;
  IoStatus = 0;
  return status;
}

bool ReadBlock(TDiskFile& file, void* buffer, std::int32_t count) {
  return TransferBlock(file, static_cast<std::uint8_t*>(buffer), count,
                       [](TDiskFile& f, std::uint8_t* p, std::int32_t n) { ReadExact(f, p, n); });
}

bool WriteBlock(TDiskFile& file, const void* buffer, std::int32_t count) {
  return TransferBlock(
      file, static_cast<const std::uint8_t*>(buffer), count,
      [](TDiskFile& f, const std::uint8_t* p, std::int32_t n) { WriteExact(f, p, n); });
}

std::string JoinPath(std::string_view first, std::string_view second) {
  std::string joined;
  joined.reserve(first.size() + 1 + second.size());
  joined.append(first);
  joined += '\\';
  joined.append(second);
  return joined;
}

void RememberCreatedFile(TRunFiles& run, const std::string& path) { run.Files.push_back(path); }

bool IsCreatedFile(const TRunFiles& run, const std::string& path) {
  return std::find(run.Files.begin(), run.Files.end(), path) != run.Files.end();
}

void ForgetCreatedFile(TRunFiles& run, const std::string& path) {
  auto it = std::find(run.Files.begin(), run.Files.end(), path);
  if (it != run.Files.end()) run.Files.erase(it);
}

void DeleteQuietly(TRunFiles& run, const std::string& path) {
  TDiskFile file;
  file.Path = path;
  DeleteDiskFile(file);
  if (TakeIoStatus() == 0 || !PathExists(path)) ForgetCreatedFile(run, path);
}

void RemoveCreatedFiles(TRunFiles& run) {
  for (const std::string& path : run.Files) (void)OsDelete(path);
  run.Files.clear();
  run.Spare.clear();
  RemoveCreatedDirectories(run);
  RestoreDirectoryTimes(run);
}

void RemoveCreatedDirectories(TRunFiles& run) {
  for (auto it = run.Directories.rbegin(); it != run.Directories.rend(); ++it) {
    (void)OsRemoveDirectory(*it);
  }
  run.Directories.clear();
}

void KeepCreatedDirectories(TRunFiles& run) {
  run.Directories.clear();
  run.NotedDirectories.clear();
}

void NoteDirectoryOf(TRunFiles& run, const std::string& path) {
  const std::size_t last = path.find_last_of("/\\");
  std::string directory = last == std::string::npos ? "." : path.substr(0, last);
  if (directory.empty()) directory = path.substr(0, 1);  // the root
  for (const auto& noted : run.NotedDirectories) {
    if (noted.first == directory) return;
  }
  TOsTimes times;
  if (OsGetTimes(directory, times) == 0) run.NotedDirectories.emplace_back(directory, times);
}

void RestoreDirectoryTimes(TRunFiles& run) {
  for (auto it = run.NotedDirectories.rbegin(); it != run.NotedDirectories.rend(); ++it) {
    (void)OsSetTimes(it->first, it->second);
  }
  run.NotedDirectories.clear();
}

}  // namespace mendrix
