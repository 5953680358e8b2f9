// The platform layer: every operating-system service Mendrix uses, declared
// once. platform_posix.cc and platform_win32.cc define it; CMake compiles one.
// Nothing else in the program includes an OS header.
//
// Conventions:
// - Operations that can fail return 0 or the raw OS error code (never 0 on
//   failure; a missing code becomes OsGenericError). They retry interrupted
//   calls themselves, and never print or stop the program.
// - Paths are byte strings in the system code page. The core separates path
//   parts with a backslash; the POSIX layer turns each backslash into a slash
//   before it calls the system, and maps the drive "C:" onto the root "/"
//   (other drive letters name no drive there).
#ifndef MENDRIX_PLATFORM_PLATFORM_H_
#define MENDRIX_PLATFORM_PLATFORM_H_

#include <cstdint>
#include <string>
#include <vector>

namespace mendrix {

using TOsHandle = std::intptr_t;  // fd or HANDLE
constexpr TOsHandle NoHandle = -1;
constexpr int OsGenericError = 1000000;  // stands in for a failure without a code

// ---- DOS date-times ----

// The fields of a DOS date-time: date in the high 16 bits (day 1-31, month
// 1-12, years from 1980), time in the low 16 (two-second steps, minutes,
// hours).
struct TDosTime {
  unsigned Year = 1980;
  unsigned Month = 1;
  unsigned Day = 1;
  unsigned Hours = 0;
  unsigned Minutes = 0;
  unsigned Seconds = 0;
};
// False when stamp names no moment of the calendar (month 0, 30 February).
bool DecodeDosStamp(std::uint32_t stamp, TDosTime& time);

// ---- Files ----

// Opens an existing regular file read-only (shared for reading on Win32);
// size receives its size. Never blocks; fails on directories, FIFOs, devices
// and sockets.
[[nodiscard]] int OsOpenRead(const std::string& path, TOsHandle& handle, std::int64_t& size);
// Creates a new file for reading and writing; fails if anything (a file, a
// directory, a link, even a dangling one) already has the name.
[[nodiscard]] int OsCreateNew(const std::string& path, TOsHandle& handle);
// Opens an existing regular file for reading and writing at position 0,
// keeping its bytes; never follows a link.
[[nodiscard]] int OsOpenWrite(const std::string& path, TOsHandle& handle);
// Reads up to count bytes; done receives what was read (0 at end of file).
[[nodiscard]] int OsRead(TOsHandle handle, void* buffer, std::int32_t count, std::int32_t& done);
// Reads up to count bytes from position on. The file position afterwards is
// unspecified (kept on POSIX, moved on Win32).
[[nodiscard]] int OsReadAt(TOsHandle handle, std::int64_t position, void* buffer,
                           std::int32_t count, std::int32_t& done);
// Writes up to count bytes; done receives what was written. Loops over short
// writes, so done < count only together with an error.
[[nodiscard]] int OsWrite(TOsHandle handle, const void* buffer, std::int32_t count,
                          std::int32_t& done);
[[nodiscard]] int OsSeek(TOsHandle handle, std::int64_t position);
[[nodiscard]] int OsGetSize(TOsHandle handle, std::int64_t& size);
// Cuts or extends the file open for writing at handle to size bytes; the file
// position afterwards is unspecified.
[[nodiscard]] int OsSetSize(TOsHandle handle, std::int64_t size);
[[nodiscard]] int OsGetPosition(TOsHandle handle, std::int64_t& position);
[[nodiscard]] int OsClose(TOsHandle handle);
// Starts writing count bytes of the file from position on out to the disk,
// without waiting for them: a flush later has that much less to wait for.
// Only a hint; where the system has no such call it does nothing.
void OsStartWriteOut(TOsHandle handle, std::int64_t position, std::int64_t count);
// Gives the complete file open at handle the owner, group and access
// permissions of the file at model (a final link not followed), so that a
// replaced program stays executable and keeps its owner. Where the owner
// can't be given, the set-user-ID and set-group-ID bits are dropped. With an
// empty model: the permissions a new file gets (0666 less the umask). Where
// the system has no such permissions it does nothing and succeeds.
[[nodiscard]] int OsTakeOwnerAndMode(const std::string& model, TOsHandle handle);
// Makes the data of the named files durable, in one batch where the system
// allows (once per file system on Linux).
[[nodiscard]] int OsSyncFiles(const std::vector<std::string>& paths);
// Sets the last-write time from a DOS date-time (high 16 bits date, low 16
// bits time) read as local time. Fails for an invalid stamp and for a handle
// not open for writing. The last-access time is kept.
[[nodiscard]] int OsSetWriteTime(TOsHandle handle, std::uint32_t dosStamp);

// ---- Names in the file system ----

[[nodiscard]] int OsDelete(const std::string& path);
// Renames or moves a file; never replaces an existing file.
[[nodiscard]] int OsRename(const std::string& from, const std::string& to);
// Renames a file onto another in one step, replacing an existing file.
[[nodiscard]] int OsReplace(const std::string& from, const std::string& to);
// Makes a second name for a file (a hard link); never replaces. Fails where
// the file system has no links.
[[nodiscard]] int OsLink(const std::string& from, const std::string& to);
// True when both names lead to the same file.
bool OsSameFile(const std::string& first, const std::string& second);
[[nodiscard]] int OsMakeDirectory(const std::string& path);
// Creates a directory with the access permissions of the directory model
// (0700 when model is no directory).
[[nodiscard]] int OsMakeDirectoryLike(const std::string& path, const std::string& model);
// Removes an empty directory.
[[nodiscard]] int OsRemoveDirectory(const std::string& path);
// Makes the names in the named directories durable (nothing on Win32).
[[nodiscard]] int OsSyncDirectories(const std::vector<std::string>& paths);
// True only for a directory, or a link to one.
bool OsIsDirectory(const std::string& path);
// True only for a regular file, or a link to one.
bool OsIsRegularFile(const std::string& path);

// What stands at path itself; a symbolic link (a reparse point on Win32) is
// never followed. Missing also where the path can't be looked at.
enum class TOsPathKind { Missing, File, Directory, Link, Other };
TOsPathKind OsPathKind(const std::string& path);

// What tells one file from another and from an earlier state of itself.
struct TOsFileIdentity {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;  // file index on Win32
  std::int64_t Size = 0;
  std::int64_t Modified = 0;  // last-write time, in the system's finest unit
  std::uint32_t Links = 0;    // names the file has
  bool Regular = false;       // a regular file (not a link, directory, device)
};
// Identity of the file at path; a final link is followed only with follow
// set. Nonzero when nothing can be looked at there.
[[nodiscard]] int OsFileIdentity(const std::string& path, bool follow, TOsFileIdentity& identity);
// The same for the file open at handle.
[[nodiscard]] int OsHandleIdentity(TOsHandle handle, TOsFileIdentity& identity);
// True when the user may create a file in the existing directory.
bool OsCanCreateIn(const std::string& directory);

// The last-access and last-write times of a directory, in the system's own
// form, to be put back after names in it were made and removed again.
struct TOsTimes {
  std::int64_t Access[2] = {0, 0};
  std::int64_t Write[2] = {0, 0};
};
[[nodiscard]] int OsGetTimes(const std::string& directory, TOsTimes& times);
[[nodiscard]] int OsSetTimes(const std::string& directory, const TOsTimes& times);

// ---- Directory listing ----

struct TOsDirEntry {
  std::string Name;
  bool IsDirectory = false;      // a directory, or a link to one
  bool IsDirectoryLink = false;  // a symbolic link (or junction) to a directory
};

// Lists directory (a path ending in a separator, "C:\" included). The entries
// "." and ".." are listed as the system gives them; the caller skips them.
// Returns NoHandle when the directory can't be listed; otherwise the first
// entry is in entry. On POSIX the root directory omits /proc, /sys, /dev, /run.
TOsHandle OsFindFirst(const std::string& directory, TOsDirEntry& entry);
bool OsFindNext(TOsHandle find, TOsDirEntry& entry);
void OsFindClose(TOsHandle find);

// ---- Console ----

// Standard error (the console channel) and standard output; the bytes go out
// unchanged. Failures are ignored.
void OsWriteConsole(const char* text, std::size_t length);
void OsWriteOut(const char* text, std::size_t length);
// True when standard error is a terminal (a console on Win32), where a line
// may be redrawn in place; false for a file, a pipe or a closed stream.
bool OsConsoleIsTerminal();
// Waits for one key on standard input. A terminal is put into a raw mode for
// the wait and what was typed before is drained; a special key's sequence is
// no key. Other input: each byte is a key, and end of input gives 0 at once.
// With timed set the wait gives up after limitMilliseconds and returns 0;
// an interrupt ends it at once with 0.
std::uint8_t OsWaitKey(bool timed, std::uint32_t limitMilliseconds);

// ---- Process ----

// Called first by main with its arguments. Makes the process safe to run
// from scripts: closed standard descriptors are opened on the null device,
// and a closed pipe or a file-size limit makes a write fail instead of
// ending the process.
void OsStartup(int argc, char** argv);
// From now on an interrupt (SIGINT, SIGTERM, SIGHUP; Ctrl-C, Ctrl-Break or a
// closed console on Win32) only marks itself pending, for the program to
// stop where it can do so cleanly. A signal ignored by whoever started the
// program stays ignored.
void OsCatchInterrupts();
// True once an interrupt has arrived (it stays pending), unless held.
bool OsInterruptPending();
// From now on OsInterruptPending is false: the program is putting its
// results in place, which ends in the whole new state or the whole old one.
// Key waits still end at an interrupt.
void OsHoldInterrupts();
// Undoes OsHoldInterrupts: the run that held them is over.
void OsReleaseInterrupts();
// The command line as one text to be split by the program's own rules, when
// the system hands it over that way (Win32). False when arguments come split.
bool OsCommandLineText(std::string& text);
// The arguments after the program name, as the system split them (POSIX).
std::vector<std::string> OsSplitArguments();
// Full path of the running program file.
std::string OsProgramPath();
// The temp directory, ending in a separator (TMPDIR or /tmp on POSIX).
std::string OsTempPath();
// Ends the process: restores the terminal if a key wait changed it, closes
// every file handle still open, calls the exit hook, and ends.
[[noreturn]] void OsExit(int code);
// A function that OsExit calls with the exit code and Data before the
// process ends. A hook that returns lets the process end as usual; an
// in-process test harness may leave by unwinding back to itself.
struct TOsExitHook {
  void (*Call)(int code, void* data) = nullptr;
  void* Data = nullptr;
};
// Installs hook (an empty one removes it) and returns the one it replaces,
// for the caller to put back or to call on in its own.
TOsExitHook OsSetExitHook(TOsExitHook hook);

}  // namespace mendrix

#endif  // MENDRIX_PLATFORM_PLATFORM_H_
