// The platform layer on Win32, all through kernel32 with the A-suffix calls:
// byte strings in the system code page go to the system unchanged, and paths
// keep the backslashes the core builds them with.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_shared.h"

namespace mendrix {

namespace {

int LastError() {
  DWORD error = GetLastError();
  return error != 0 ? static_cast<int>(error) : OsGenericError;
}

HANDLE Win(TOsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
TOsHandle Os(HANDLE handle) { return reinterpret_cast<TOsHandle>(handle); }

// Largest piece handed to one ReadFile, WriteFile or WriteConsoleA call. The
// console refuses large writes on older systems.
constexpr DWORD ConsolePiece = 8192;

bool IsDirectory(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  return GetFileInformationByHandle(handle, &info) != 0 &&
         (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// How a file is opened: CreateFileA's access, disposition and flags.
struct TOpenWay {
  DWORD Access = GENERIC_READ;
  DWORD Disposition = OPEN_EXISTING;
  DWORD Flags = 0;
};

// Opens path the given way, and keeps the handle only for a regular file on
// a disk. Directories, devices, pipes and the like are refused.
int OpenFile(const std::string& path, TOpenWay way, TOsHandle& handle) {
  handle = NoHandle;
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  // Attributes sit in the low 16 bits; with none, the file is a normal one.
  if ((way.Flags & 0xFFFF) == 0) way.Flags |= FILE_ATTRIBUTE_NORMAL;
  HANDLE file = CreateFileA(path.c_str(), way.Access, FILE_SHARE_READ, nullptr, way.Disposition,
                            way.Flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return LastError();
  DWORD type = GetFileType(file);
  if (type != FILE_TYPE_DISK || IsDirectory(file)) {
    CloseHandle(file);
    return type == FILE_TYPE_DISK ? ERROR_ACCESS_DENIED : ERROR_BAD_FILE_TYPE;
  }
  handle = Os(file);
  NoteOpenHandle(handle);
  return 0;
}

bool ValidDosStamp(std::uint32_t stamp) {
  TDosTime fields;
  return DecodeDosStamp(stamp, fields);
}

// An open handle that only asks about a file (no access to its data), so it
// never meets a sharing conflict. Takes directories too; a final link (a
// reparse point) is followed only with follow set.
HANDLE OpenForQuery(const std::string& path, bool follow = true) {
  if (path.empty()) return INVALID_HANDLE_VALUE;
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

void FillEntry(const WIN32_FIND_DATAA& data, TOsDirEntry& entry) {
  entry.Name = data.cFileName;
  entry.IsDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // A directory that is a reparse point is a symbolic link or a junction (or
  // a mounted volume): the search must not walk into it, it may lead back up.
  entry.IsDirectoryLink =
      entry.IsDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void WriteAll(HANDLE output, const char* text, std::size_t length) {
  while (length > 0) {
    DWORD piece = length > ConsolePiece ? ConsolePiece : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(output, text, piece, &written, nullptr) || written == 0) return;
    text += written;
    length -= written;
  }
}

// ---- Interrupts ----

// Set by the console control handler, which the system runs on a thread of
// its own; read by the waits and by the program between its steps.
std::atomic<bool> Interrupted{false};  // set by the console handler

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      Interrupted = true;
      return TRUE;
    case CTRL_CLOSE_EVENT:
      Interrupted = true;
      // The process ends as soon as this handler returns: holding on gives
      // the program its chance to finish the step it is in and leave through
      // OsExit. The system ends the process after its own time limit anyway.
      Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

// Longest stretch a key wait goes without looking at the interrupt flag.
constexpr DWORD InterruptPoll = 100;

// ---- Key waits ----

// The first key press among the console input events pending now; 0 when
// there is none. Every event looked at is removed. Only a key going down that
// yields a character counts: releases, shift or control alone, mouse, focus
// and size events are dropped.
std::uint8_t TakeConsoleKey(HANDLE input) {
  for (;;) {
    INPUT_RECORD record;
    DWORD pending = 0;
    if (!PeekConsoleInputA(input, &record, 1, &pending) || pending == 0) return 0;
    for (DWORD i = 0; i < pending; ++i) {
      DWORD read = 0;
      if (!ReadConsoleInputA(input, &record, 1, &read) || read == 0) return 0;
      if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown &&
          record.Event.KeyEvent.uChar.AsciiChar != 0) {
        return static_cast<std::uint8_t>(record.Event.KeyEvent.uChar.AsciiChar);
      }
    }
  }
}

// Milliseconds left before a timed wait ends; INFINITE when untimed.
DWORD TimeLeft(bool timed, DWORD start, DWORD limit) {
  if (!timed) return INFINITE;
  DWORD elapsed = GetTickCount() - start;  // wraps like the tick count
  return elapsed >= limit ? 0 : limit - elapsed;
}

// Removes every pending console input event.
void DrainConsole(HANDLE input) {
  for (;;) {
    INPUT_RECORD record;
    DWORD pending = 0;
    if (!PeekConsoleInputA(input, &record, 1, &pending) || pending == 0) return;
    for (DWORD i = 0; i < pending; ++i) {
      DWORD read = 0;
      if (!ReadConsoleInputA(input, &record, 1, &read) || read == 0) return;
    }
  }
}

std::uint8_t WaitConsoleKey(HANDLE input, bool timed, DWORD limit) {
  DrainConsole(input);  // whatever was typed or clicked before the wait
  DWORD start = GetTickCount();
  for (;;) {
    // Ctrl-C does not come as a key while the console processes it: the
    // handler sets the flag, and this loop looks at it on every round.
    if (Interrupted) return 0;
    std::uint8_t key = TakeConsoleKey(input);
    if (key != 0) return key;
    DWORD left = TimeLeft(timed, start, limit);
    if (left == 0) return 0;
    // The console input handle is signalled while events are pending; the
    // cap keeps the poll going even if a wake-up is missed.
    (void)WaitForSingleObject(input, left > InterruptPoll ? InterruptPoll : left);
  }
}

// Standard input that is not a console: each byte is a key, and the end of
// the input (FALSE with ERROR_BROKEN_PIPE, or TRUE with no bytes) or a read
// error gives 0. A read from a pipe can block for as long as the writer keeps
// it open, and there is no way to wait on an anonymous pipe with a time
// limit, so such reads are made by a helper thread that the wait can give up
// on. A read it has started and that is still running is taken up by the next
// wait, so no byte is lost.
struct TKeyReader {
  HANDLE Input = nullptr;    // the handle the reads are made on
  HANDLE Request = nullptr;  // auto-reset: one more byte is wanted
  HANDLE Done = nullptr;     // auto-reset: the byte (or the end) is in
  bool Pending = false;      // a read was asked for and not yet taken
  std::uint8_t Byte = 0;     // what the last read gave; 0 at the end
};
TKeyReader* KeyReader = nullptr;  // kept for the whole process

DWORD WINAPI ReadKeys(LPVOID parameter) {
  auto* reader = static_cast<TKeyReader*>(parameter);
  for (;;) {
    if (WaitForSingleObject(reader->Request, INFINITE) != WAIT_OBJECT_0) return 0;
    std::uint8_t byte = 0;
    DWORD read = 0;
    if (!ReadFile(reader->Input, &byte, 1, &read, nullptr) || read != 1) byte = 0;
    reader->Byte = byte;
    SetEvent(reader->Done);
  }
}

TKeyReader* StartKeyReader(HANDLE input) {
  auto* reader = new TKeyReader;
  reader->Input = input;
  reader->Request = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  reader->Done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = reader->Request != nullptr && reader->Done != nullptr
                      ? CreateThread(nullptr, 64 * 1024, ReadKeys, reader, 0, nullptr)
                      : nullptr;
  if (thread == nullptr) {
    if (reader->Request != nullptr) CloseHandle(reader->Request);
    if (reader->Done != nullptr) CloseHandle(reader->Done);
    delete reader;
    return nullptr;
  }
  CloseHandle(thread);
  return reader;
}

std::uint8_t ReadByteNow(HANDLE input) {
  std::uint8_t byte = 0;
  DWORD read = 0;
  if (!ReadFile(input, &byte, 1, &read, nullptr) || read != 1) return 0;
  return byte;
}

std::uint8_t ReadInputByte(HANDLE input, bool timed, DWORD limit) {
  if (GetFileType(input) == FILE_TYPE_DISK) return ReadByteNow(input);  // never blocks
  if (KeyReader != nullptr && KeyReader->Input != input) {
    // Standard input was changed. A read still running on the old handle is
    // left to itself, with its reader.
    if (KeyReader->Pending) {
      KeyReader = nullptr;
    } else {
      KeyReader->Input = input;
    }
  }
  if (KeyReader == nullptr) KeyReader = StartKeyReader(input);
  if (KeyReader == nullptr) return ReadByteNow(input);
  if (!KeyReader->Pending) {
    KeyReader->Pending = true;
    SetEvent(KeyReader->Request);
  }
  // Waited for in short slices, so that an interrupt ends the wait; a read
  // left running is taken up by the next wait, as after a time-out.
  DWORD start = GetTickCount();
  for (;;) {
    if (Interrupted) return 0;
    DWORD left = TimeLeft(timed, start, limit);
    DWORD result =
        WaitForSingleObject(KeyReader->Done, left > InterruptPoll ? InterruptPoll : left);
    if (result == WAIT_OBJECT_0) break;
    if (result != WAIT_TIMEOUT || left == 0) return 0;
  }
  KeyReader->Pending = false;
  return KeyReader->Byte;
}

}  // namespace

// ---- Files ----

int OsOpenRead(const std::string& path, TOsHandle& handle, std::int64_t& size) {
  int error = OpenFile(path, {GENERIC_READ, OPEN_EXISTING, 0}, handle);
  if (error != 0) return error;
  error = OsGetSize(handle, size);
  if (error != 0) {
    (void)OsClose(handle);
    handle = NoHandle;
  }
  return error;
}

int OsCreateNew(const std::string& path, TOsHandle& handle) {
  // CREATE_NEW fails on any existing name, a link included; the flag makes
  // sure a link is never followed.
  return OpenFile(path, {GENERIC_READ | GENERIC_WRITE, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT},
                  handle);
}

int OsOpenWrite(const std::string& path, TOsHandle& handle) {
  return OpenFile(path, {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT},
                  handle);
}

int OsRead(TOsHandle handle, void* buffer, std::int32_t count, std::int32_t& done) {
  done = 0;
  char* next = static_cast<char*>(buffer);
  while (done < count) {
    DWORD read = 0;
    if (!ReadFile(Win(handle), next + done, static_cast<DWORD>(count - done), &read, nullptr)) {
      DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
      return LastError();
    }
    if (read == 0) break;
    done += static_cast<std::int32_t>(read);
  }
  return 0;
}

int OsReadAt(TOsHandle handle, std::int64_t position, void* buffer, std::int32_t count,
             std::int32_t& done) {
  done = 0;
  char* next = static_cast<char*>(buffer);
  while (done < count) {
    const std::uint64_t at =
        static_cast<std::uint64_t>(position) + static_cast<std::uint64_t>(done);
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD read = 0;
    if (!ReadFile(Win(handle), next + done, static_cast<DWORD>(count - done), &read, &where)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;
      return LastError();
    }
    if (read == 0) break;
    done += static_cast<std::int32_t>(read);
  }
  return 0;
}

int OsWrite(TOsHandle handle, const void* buffer, std::int32_t count, std::int32_t& done) {
  done = 0;
  const char* next = static_cast<const char*>(buffer);
  while (done < count) {
    DWORD written = 0;
    if (!WriteFile(Win(handle), next + done, static_cast<DWORD>(count - done), &written, nullptr)) {
      return LastError();
    }
    if (written == 0) return ERROR_DISK_FULL;
    done += static_cast<std::int32_t>(written);
  }
  return 0;
}

int OsSeek(TOsHandle handle, std::int64_t position) {
  if (position < 0) return ERROR_NEGATIVE_SEEK;
  LONG high = static_cast<LONG>(position >> 32);
  SetLastError(NO_ERROR);
  DWORD low =
      SetFilePointer(Win(handle), static_cast<LONG>(position & 0xFFFFFFFF), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return LastError();
  return 0;
}

int OsSetSize(TOsHandle handle, std::int64_t size) {
  if (int error = OsSeek(handle, size); error != 0) return error;
  if (!SetEndOfFile(Win(handle))) return LastError();
  return 0;
}

int OsGetSize(TOsHandle handle, std::int64_t& size) {
  DWORD high = 0;
  SetLastError(NO_ERROR);
  DWORD low = GetFileSize(Win(handle), &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return LastError();
  size = static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
  return 0;
}

int OsGetPosition(TOsHandle handle, std::int64_t& position) {
  LONG high = 0;
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(Win(handle), 0, &high, FILE_CURRENT);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return LastError();
  position =
      static_cast<std::int64_t>((static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32) | low);
  return 0;
}

int OsClose(TOsHandle handle) {
  NoteClosedHandle(handle);
  if (!CloseHandle(Win(handle))) return LastError();
  return 0;
}

// Windows writes a file's cached data out on its own, soon after it is
// written; nothing to start.
void OsStartWriteOut(TOsHandle, std::int64_t, std::int64_t) {}

int OsSetWriteTime(TOsHandle handle, std::uint32_t dosStamp) {
  if (!ValidDosStamp(dosStamp)) return ERROR_INVALID_PARAMETER;
  FILETIME local, universal;
  if (!DosDateTimeToFileTime(static_cast<WORD>(dosStamp >> 16),
                             static_cast<WORD>(dosStamp & 0xFFFF), &local)) {
    return LastError();
  }
  if (!LocalFileTimeToFileTime(&local, &universal)) return LastError();
  // Not every system refuses to set the time through a read-only handle; an
  // empty write does, and changes nothing.
  DWORD written = 0;
  if (!WriteFile(Win(handle), "", 0, &written, nullptr)) return LastError();
  if (!SetFileTime(Win(handle), nullptr, nullptr, &universal)) return LastError();
  return 0;
}

// ---- Names ----

int OsDelete(const std::string& path) {
  if (!DeleteFileA(path.c_str())) return LastError();
  return 0;
}

int OsRename(const std::string& from, const std::string& to) {
  if (!MoveFileA(from.c_str(), to.c_str())) return LastError();
  return 0;
}

int OsReplace(const std::string& from, const std::string& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return LastError();
  return 0;
}

int OsTakeOwnerAndMode(const std::string&, TOsHandle) {
  // Files here have no owner and mode of that kind; the read-only attribute
  // is not carried over to a result.
  return 0;
}

int OsSyncFiles(const std::vector<std::string>& paths) {
  // Windows flushes one file at a time, through a handle open for writing.
  int result = 0;
  for (const std::string& path : paths) {
    int error = 0;
    HANDLE file = path.empty()
                      ? INVALID_HANDLE_VALUE
                      : CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = path.empty() ? ERROR_PATH_NOT_FOUND : LastError();
    } else {
      if (!FlushFileBuffers(file)) error = LastError();
      CloseHandle(file);
    }
    if (result == 0) result = error;  // the first failure, after trying them all
  }
  return result;
}

int OsLink(const std::string& from, const std::string& to) {
  if (!CreateHardLinkA(to.c_str(), from.c_str(), nullptr)) return LastError();
  return 0;
}

bool OsSameFile(const std::string& first, const std::string& second) {
  HANDLE a = OpenForQuery(first);
  if (a == INVALID_HANDLE_VALUE) return false;
  HANDLE b = OpenForQuery(second);
  if (b == INVALID_HANDLE_VALUE) {
    CloseHandle(a);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION infoA, infoB;
  bool same = GetFileInformationByHandle(a, &infoA) && GetFileInformationByHandle(b, &infoB) &&
              infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
              infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
              infoA.nFileIndexLow == infoB.nFileIndexLow;
  CloseHandle(a);
  CloseHandle(b);
  return same;
}

int OsMakeDirectory(const std::string& path) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (!CreateDirectoryA(path.c_str(), nullptr)) return LastError();
  return 0;
}

int OsMakeDirectoryLike(const std::string& path, const std::string&) {
  // Access rights are inherited from the parent directory here.
  return OsMakeDirectory(path);
}

int OsRemoveDirectory(const std::string& path) {
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  if (!RemoveDirectoryA(path.c_str())) return LastError();
  return 0;
}

int OsSyncDirectories(const std::vector<std::string>&) {
  return 0;  // names are made durable with the file system's own log
}

TOsPathKind OsPathKind(const std::string& path) {
  if (path.empty()) return TOsPathKind::Missing;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return TOsPathKind::Link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return TOsPathKind::Directory;
  }
  // Device names (NUL, CON, COM1...) open from any directory, whether or not
  // the system gives them attributes: only the handle tells them apart.
  HANDLE file = OpenForQuery(path, false);
  if (file == INVALID_HANDLE_VALUE) {
    return attributes == INVALID_FILE_ATTRIBUTES ? TOsPathKind::Missing : TOsPathKind::File;
  }
  DWORD type = GetFileType(file);
  CloseHandle(file);
  if (type != FILE_TYPE_DISK) return TOsPathKind::Other;
  return attributes == INVALID_FILE_ATTRIBUTES ? TOsPathKind::Missing : TOsPathKind::File;
}

namespace {

// Identity of the file open at file; a device is there, and no file.
int IdentityOf(HANDLE file, TOsFileIdentity& identity) {
  int result = 0;
  if (GetFileType(file) == FILE_TYPE_DISK) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info)) {
      identity.Device = info.dwVolumeSerialNumber;
      identity.Inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
      identity.Size =
          static_cast<std::int64_t>((std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
      identity.Modified =
          static_cast<std::int64_t>((std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) |
                                    info.ftLastWriteTime.dwLowDateTime);
      identity.Links = info.nNumberOfLinks;
      identity.Regular =
          (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    } else {
      result = LastError();
    }
  }
  return result;
}

}  // namespace

int OsFileIdentity(const std::string& path, bool follow, TOsFileIdentity& identity) {
  identity = TOsFileIdentity();
  HANDLE file = OpenForQuery(path, follow);
  if (file == INVALID_HANDLE_VALUE) return path.empty() ? ERROR_PATH_NOT_FOUND : LastError();
  // A device (NUL, CON...) has no index or size: it is there, and no file.
  const int result = IdentityOf(file, identity);
  CloseHandle(file);
  return result;
}

int OsHandleIdentity(TOsHandle handle, TOsFileIdentity& identity) {
  identity = TOsFileIdentity();
  return IdentityOf(Win(handle), identity);
}

namespace {

// A directory opened to read or change its times, never through a link.
HANDLE OpenDirectoryTimes(const std::string& directory, DWORD access) {
  if (directory.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileA(directory.c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

std::int64_t Join(const FILETIME& time) {
  return static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime);
}

FILETIME Split(std::int64_t value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu);
  time.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(value) >> 32);
  return time;
}

}  // namespace

int OsGetTimes(const std::string& directory, TOsTimes& times) {
  HANDLE handle = OpenDirectoryTimes(directory, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return directory.empty() ? ERROR_PATH_NOT_FOUND : LastError();
  FILETIME access, write;
  int result = GetFileTime(handle, nullptr, &access, &write) ? 0 : LastError();
  CloseHandle(handle);
  times.Access[0] = Join(access);
  times.Write[0] = Join(write);
  return result;
}

int OsSetTimes(const std::string& directory, const TOsTimes& times) {
  HANDLE handle = OpenDirectoryTimes(directory, FILE_WRITE_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return directory.empty() ? ERROR_PATH_NOT_FOUND : LastError();
  const FILETIME access = Split(times.Access[0]);
  const FILETIME write = Split(times.Write[0]);
  int result = SetFileTime(handle, nullptr, &access, &write) ? 0 : LastError();
  CloseHandle(handle);
  return result;
}

bool OsCanCreateIn(const std::string& directory) {
  // The read-only attribute of a directory does not keep files out of it,
  // and the access rights can't be judged short of trying: an existing
  // directory counts, and a refusal shows when the file is made.
  return OsIsDirectory(directory);
}

bool OsIsDirectory(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool OsIsRegularFile(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return false;
  }
  // A link counts by what it leads to, and device names (NUL, CON, COM1...)
  // are no files: look at the file itself.
  HANDLE file = OpenForQuery(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool regular = GetFileType(file) == FILE_TYPE_DISK && !IsDirectory(file);
  CloseHandle(file);
  return regular;
}

// ---- Directory listing ----

TOsHandle OsFindFirst(const std::string& directory, TOsDirEntry& entry) {
  if (directory.empty()) return NoHandle;
  std::string pattern = directory;
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return NoHandle;
  FillEntry(data, entry);
  return Os(find);
}

bool OsFindNext(TOsHandle find, TOsDirEntry& entry) {
  if (find == NoHandle) return false;
  WIN32_FIND_DATAA data;
  if (!FindNextFileA(Win(find), &data)) return false;
  FillEntry(data, entry);
  return true;
}

void OsFindClose(TOsHandle find) {
  if (find == NoHandle) return;
  FindClose(Win(find));
}

// ---- Console ----

void OsWriteConsole(const char* text, std::size_t length) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    DWORD piece = length > ConsolePiece ? ConsolePiece : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteConsoleA(error, text, piece, &written, nullptr)) {
      // Not a console (redirected to a file or a pipe): plain bytes then.
      WriteAll(error, text, length);
      return;
    }
    if (written == 0) return;
    text += written;
    length -= written;
  }
}

void OsWriteOut(const char* text, std::size_t length) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  WriteAll(output, text, length);
}

bool OsConsoleIsTerminal() {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return false;
  DWORD mode = 0;
  return GetConsoleMode(error, &mode) != 0;
}

std::uint8_t OsWaitKey(bool timed, std::uint32_t limitMilliseconds) {
  if (Interrupted) return 0;
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return 0;
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode)) return WaitConsoleKey(input, timed, limitMilliseconds);
  return ReadInputByte(input, timed, limitMilliseconds);
}

// ---- Process ----

void OsStartup(int, char**) {
  // A drive without a disk in it (a card reader, an empty CD drive) must not
  // bring up a dialog box while the search lists the drives: it just fails.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void OsCatchInterrupts() {
  // Ctrl-C, Ctrl-Break and a closed console window only mark an interrupt;
  // the program ends at a point where its files are whole. A process started
  // with Ctrl-C ignored is never handed it, so that stays as it was.
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool InterruptArrived() { return Interrupted; }

bool OsCommandLineText(std::string& text) {
  const char* line = GetCommandLineA();
  text = line != nullptr ? line : "";
  return true;
}

std::vector<std::string> OsSplitArguments() {
  // The command line comes as one text here (OsCommandLineText); the program
  // splits it by its own rules.
  return {};
}

std::string OsProgramPath() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    // A full buffer means the path may have been cut short.
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    if (path.size() >= 32768) return "";
    path.resize(path.size() * 2);
  }
}

std::string OsTempPath() {
  DWORD needed = GetTempPathA(0, nullptr);
  if (needed == 0) return "";
  std::string path(needed, '\0');
  DWORD length = GetTempPathA(needed, path.data());
  if (length == 0 || length >= needed) return "";
  path.resize(length);
  if (path.back() != '\\' && path.back() != '/') path += '\\';
  return path;
}

void PrepareExit() {}

void EndProcess(int code) { ExitProcess(static_cast<UINT>(code)); }

}  // namespace mendrix
