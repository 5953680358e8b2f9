// The file access layer. Every file operation of the program goes through it.
//
// Failure model: operations don't stop the program and mostly return nothing.
// A failing operation records its code in the one process-wide pending
// status, IoStatus, replacing any code already pending; successful operations
// never clear it. A caller takes it with TakeIoStatus after one or several
// operations. ReadBlock and WriteBlock fold that into one yes or no.
//
// Positions and sizes are signed 32-bit byte counts: a file of 2 GiB or more
// can't be sized or positioned (GetSize fails on it).
#ifndef MENDRIX_FILEIO_FILEIO_H_
#define MENDRIX_FILEIO_FILEIO_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace mendrix {

enum class TFileState { Closed, ReadOnly, ReadWrite };

// A read-ahead buffer for a file read forwards in many small pieces with
// short jumps (the patch file): ReadExact then takes its bytes from memory,
// and SeekTo and GetPosition within the buffered bytes need no system call.
// Reads, seeks and positions give the same results as without it.
struct TReadAhead {
  static constexpr std::int32_t Size = 64 * 1024;
  // Bytes[Next, End) are the file's bytes from position Start + Next on, and
  // the system's file position is Start + End. Start is -1 while the
  // position is not known (after a positioned read or a failed read).
  std::int64_t Start = 0;
  std::int32_t Next = 0;
  std::int32_t End = 0;
  std::array<std::uint8_t, Size> Bytes;
};

struct TDiskFile {
  TOsHandle Handle = NoHandle;
  std::string Path;  // the path it was opened under (kept after closing)
  TFileState State = TFileState::Closed;
  TReadAhead* ReadAhead = nullptr;  // owned elsewhere; kept across opens
  // Opened read-only: the size it had then, which GetSize gives without
  // asking the system again. -1 otherwise.
  std::int64_t ReadOnlySize = -1;
};

// What a run made for its own use and must undo if it stops, owned by the
// run: the files it created (work files, staged results) until they are
// deleted or put in place, the closed work files among them set aside to be
// written over, the directories it made, and the times of the directories
// it made names in.
struct TRunFiles {
  std::vector<std::string> Files;
  std::vector<std::string> Spare;
  std::vector<std::string> Directories;
  std::vector<std::pair<std::string, TOsTimes>> NotedDirectories;
};

// Largest piece ReadBlock and WriteBlock move in one transfer.
constexpr std::int32_t BlockPiece = 60000;

// Opens an existing regular file read-only at position 0; closes file first
// if it is open. On failure the file stays closed and the error is pending.
void OpenForReading(TDiskFile& file, const std::string& path);
// Creates path and opens it for reading and writing; fails when anything
// already has the name (a file, a directory or a link, which is never
// followed).
void CreateNewForWriting(TDiskFile& file, const std::string& path);
// Opens an existing regular file for reading and writing at position 0,
// keeping its bytes; never through a link.
void OpenForWriting(TDiskFile& file, const std::string& path);
// One read of count bytes; fewer (end of file) is a failure.
void ReadExact(TDiskFile& file, void* buffer, std::int32_t count);
// ReadExact from position on; the file position afterwards is unspecified.
void ReadExactAt(TDiskFile& file, std::int32_t position, void* buffer, std::int32_t count);
// One write of count bytes; fewer is a failure. Needs a file open for writing.
void WriteExact(TDiskFile& file, const void* buffer, std::int32_t count);
// A negative position fails and keeps the position; past the end is allowed.
void SeekTo(TDiskFile& file, std::int32_t position);
// -1 on failure.
std::int32_t GetSize(TDiskFile& file);
std::int32_t GetPosition(TDiskFile& file);
// Cuts (or extends) a file open for writing to size bytes; the position
// afterwards is unspecified.
void SetFileSize(TDiskFile& file, std::int32_t size);
// For a result being staged, written bytes from the start: once the bytes
// [writtenOut, written) make a whole piece of 1 MiB, starts writing them out
// to the disk without waiting and moves writtenOut to written (a file open
// for writing; otherwise nothing). Most of the result is then already out
// when the run makes it durable: the disk writes while the program works on.
// Never touches IoStatus.
void WriteOutUpTo(TDiskFile& file, std::int64_t written, std::int64_t& writtenOut);
// Closing a file that is not open records a failure.
void CloseDiskFile(TDiskFile& file);
// Deletes the file at file.Path (the file is closed).
void DeleteDiskFile(TDiskFile& file);
// Moves the closed file to newPath, never replacing; file then names newPath.
void MoveDiskFile(TDiskFile& file, const std::string& newPath);
// Renames the closed file onto destination in one step, replacing a file
// there; file then names destination.
void ReplaceDiskFile(TDiskFile& file, const std::string& destination);
// Gives the closed file a second name (a hard link) at linkPath, never
// replacing. Fails where the file system has no links.
void LinkDiskFile(TDiskFile& file, const std::string& linkPath);
// True when both paths name the same file. Never touches IoStatus.
bool SameFile(const std::string& first, const std::string& second);
void MakeDirectory(const std::string& path);
// Creates every directory before the last separator of path, from the outside
// in; ignores every failure and leaves none pending. Each directory it
// creates is remembered in run until KeepCreatedDirectories.
void MakeDirectories(TRunFiles& run, const std::string& path);
// Creates the directory path with the permissions of the directory model
// (private where model is empty or no directory), remembered like those of
// MakeDirectories. Returns 0 or a failure code; never touches IoStatus.
int MakeDirectoryLike(TRunFiles& run, const std::string& path, const std::string& model);
// True only for a regular file (or a link to one). Never touches IoStatus.
bool PathExists(const std::string& path);
// Sets the last-write time of a file open for writing from a DOS date-time in
// local time. Returns 0 or a failure code; never touches IoStatus.
int SetFileStamp(TDiskFile& file, std::uint32_t stamp);
// Finishes a complete file open for writing before it is closed: dates it
// (a stamp the system refuses leaves the time of writing), gives it the
// owner, group and permissions of the file at model, or without a model
// those of a new file (the set-ID bits go where the owner can't be given),
// and reads its
// identity. Done through the open file, so that nothing put at its name
// meanwhile is changed instead. False when that fails.
bool FinishFile(TDiskFile& file, const std::string& model, std::uint32_t stamp,
                TOsFileIdentity& identity);
// Returns the pending status and clears it.
int TakeIoStatus();
// Transfer count bytes in pieces of at most BlockPiece; a failed piece does
// not end the loop. True only when every piece succeeded and no failure was
// pending before; IoStatus is 0 afterwards either way.
bool ReadBlock(TDiskFile& file, void* buffer, std::int32_t count);
bool WriteBlock(TDiskFile& file, const void* buffer, std::int32_t count);

// first + "\" + second: a backslash is always put between the parts, even
// after a first part that already ends in a separator (a doubled separator
// names the same place).
std::string JoinPath(std::string_view first, std::string_view second);

// The files a run creates for its own use (work files, staged results
// beside a destination) are remembered in run until they are deleted or put
// in place, so that a fatal stop can remove them.
void RememberCreatedFile(TRunFiles& run, const std::string& path);
void ForgetCreatedFile(TRunFiles& run, const std::string& path);
// True while path is one of those files.
bool IsCreatedFile(const TRunFiles& run, const std::string& path);
// Deletes a file, ignoring every failure; once it is gone it is no longer
// one of the run's own files to remove on a fatal stop.
void DeleteQuietly(TRunFiles& run, const std::string& path);
// Deletes the remembered files, removes the remembered directories that
// are empty, newest first, and puts back the noted directory times. Used on
// the way out of a fatal stop, once every file is closed.
void RemoveCreatedFiles(TRunFiles& run);
// Removes the remembered directories that are empty, newest first.
void RemoveCreatedDirectories(TRunFiles& run);
// The directories created so far hold the run's results now: they stay,
// and so do the times of the directories the run changed.
void KeepCreatedDirectories(TRunFiles& run);
// Before the run first makes or removes a name in the directory that holds
// path, that directory's times are noted, so that a run that ends with the
// tree as it was can put them back too.
void NoteDirectoryOf(TRunFiles& run, const std::string& path);
// Puts back the noted times, newest first, and forgets them.
void RestoreDirectoryTimes(TRunFiles& run);

}  // namespace mendrix

#endif  // MENDRIX_FILEIO_FILEIO_H_
