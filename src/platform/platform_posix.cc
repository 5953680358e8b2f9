// The platform layer on POSIX systems (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/platform_shared.h"

namespace mendrix {

namespace {

int LastError() { return errno != 0 ? errno : OsGenericError; }

// The core separates path parts with backslashes and names drives C: to Z:.
// Here a backslash is a slash, C: is the root directory and the other drive
// letters name nothing: mapped is then empty and false is returned.
bool SystemPath(const std::string& path, std::string& mapped) {
  mapped = path;
  for (char& c : mapped) {
    if (c == '\\') c = '/';
  }
  if (mapped.size() >= 2 && mapped[1] == ':' && mapped[0] >= 'A' && mapped[0] <= 'Z' &&
      (mapped.size() == 2 || mapped[2] == '/')) {
    if (mapped[0] != 'C') {
      mapped.clear();
      return false;
    }
    mapped = "/" + mapped.substr(mapped.size() == 2 ? 2 : 3);
  }
  return true;
}

int Fd(TOsHandle handle) { return static_cast<int>(handle); }

// Files the program creates for itself (work files, results being staged)
// are private until they are complete.
constexpr mode_t PrivateMode = 0600;
// The permission bits a new file gets from the umask, read at start-up.
mode_t NewFileMode = 0644;

volatile sig_atomic_t InterruptFlag = 0;

void NoteInterrupt(int) { InterruptFlag = 1; }

// Opens path as a directory, never through a final link; -1 on failure.
int OpenDirectory(const std::string& mapped) {
  int fd;
  do {
    fd = ::open(mapped.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Makes the named files (or directories, and the names in them) durable:
// one syncfs for each file system they lie on writes out everything at
// once, far cheaper than one flush per file in a tree of many small ones.
// Where syncfs fails, the file itself is flushed.
int SyncFileSystems(const std::vector<std::string>& paths, bool directories) {
  std::vector<dev_t> done;
  int result = 0;
  auto fail = [&result] {
    if (result == 0) result = LastError();
  };
  for (const std::string& path : paths) {
    std::string mapped;
    struct stat info;
    if (!SystemPath(path, mapped) || mapped.empty() || ::lstat(mapped.c_str(), &info) != 0) {
      fail();
      continue;
    }
    if (std::find(done.begin(), done.end(), info.st_dev) != done.end()) continue;
    const int fd = directories ? OpenDirectory(mapped)
                               : ::open(mapped.c_str(),
                                        O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      fail();
      continue;
    }
    if (::syncfs(fd) == 0) {
      done.push_back(info.st_dev);
    } else if ((directories ? ::fsync(fd) : ::fdatasync(fd)) != 0) {
      fail();
    }
    ::close(fd);
  }
  return result;
}

int OpenFile(const std::string& path, int flags, mode_t mode, TOsHandle& handle,
             std::int64_t* size = nullptr) {
  handle = NoHandle;
  std::string mapped;
  if (!SystemPath(path, mapped)) return ENOENT;
  // A name created exclusively is a new regular file: nothing to check, and
  // nothing there to block on. Any other open must not hang on a FIFO.
  const bool exclusive = (flags & O_EXCL) != 0;
  if (!exclusive && (flags & O_CREAT) == 0) {
    // Look before opening: opening some devices acts by itself.
    struct stat before;
    if (::stat(mapped.c_str(), &before) != 0) return LastError();
    const bool readOnly = (flags & O_ACCMODE) == O_RDONLY;
    if (!S_ISREG(before.st_mode) && (readOnly || !S_ISCHR(before.st_mode))) {
      return S_ISDIR(before.st_mode) ? EISDIR : EINVAL;
    }
  }
  int fd;
  do {
    fd = ::open(mapped.c_str(), flags | O_CLOEXEC | O_NOCTTY | (exclusive ? 0 : O_NONBLOCK), mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return LastError();
  if (exclusive) {
    handle = fd;
    NoteOpenHandle(handle);
    return 0;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    int error = LastError();
    ::close(fd);
    return error;
  }
  bool readOnly = (flags & O_ACCMODE) == O_RDONLY;
  // Reading takes regular files only; writing also takes character devices
  // (such as /dev/null and /dev/full), never a directory or a FIFO.
  if (!S_ISREG(info.st_mode) && (readOnly || !S_ISCHR(info.st_mode))) {
    ::close(fd);
    return S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  }
  if (size != nullptr) *size = static_cast<std::int64_t>(info.st_size);
  // Reads and writes of a regular file never wait whatever the flag says; a
  // device is written in the usual blocking way.
  if (!S_ISREG(info.st_mode)) {
    int status = ::fcntl(fd, F_GETFL);
    if (status >= 0) (void)::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  }
  handle = fd;
  NoteOpenHandle(handle);
  return 0;
}

bool ValidDosStamp(std::uint32_t stamp, struct tm& time) {
  TDosTime fields;
  if (!DecodeDosStamp(stamp, fields)) return false;
  std::memset(&time, 0, sizeof time);
  time.tm_year = static_cast<int>(fields.Year) - 1900;
  time.tm_mon = static_cast<int>(fields.Month) - 1;
  time.tm_mday = static_cast<int>(fields.Day);
  time.tm_hour = static_cast<int>(fields.Hours);
  time.tm_min = static_cast<int>(fields.Minutes);
  time.tm_sec = static_cast<int>(fields.Seconds);
  time.tm_isdst = -1;
  return true;
}

void WriteAll(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, text, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
}

// ---- Terminal state during a key wait ----

struct termios SavedTerminal;
volatile sig_atomic_t TerminalChanged = 0;

void RestoreTerminal() {
  if (TerminalChanged) {
    (void)::tcsetattr(0, TCSANOW, &SavedTerminal);
    TerminalChanged = 0;
  }
}

std::int64_t NowMilliseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits until standard input has a byte or the deadline passes (deadline < 0:
// no limit). True when a read will not block.
bool InputReady(std::int64_t deadline) {
  for (;;) {
    if (InterruptFlag) return false;
    int timeout = -1;
    if (deadline >= 0) {
      std::int64_t left = deadline - NowMilliseconds();
      if (left <= 0) return false;
      timeout = left > 1000 ? 1000 : static_cast<int>(left);
    }
    struct pollfd input = {0, POLLIN, 0};
    int n = ::poll(&input, 1, timeout);
    if (n < 0 && errno != EINTR) return true;  // the read will report it
    if (n > 0) return true;
  }
}

std::uint8_t WaitTerminalKey(std::int64_t deadline) {
  if (::tcgetattr(0, &SavedTerminal) != 0) return 0;
  struct termios raw = SavedTerminal;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  TerminalChanged = 1;
  (void)::tcsetattr(0, TCSANOW, &raw);
  (void)::tcflush(0, TCIFLUSH);  // keys typed before the wait don't count

  std::uint8_t key = 0;
  while (InputReady(deadline)) {
    std::uint8_t byte;
    ssize_t n = ::read(0, &byte, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    if (byte == 0x1B) {
      // A special key sends an escape sequence: swallow it, it is no key.
      struct pollfd input = {0, POLLIN, 0};
      while (::poll(&input, 1, 30) > 0 && ::read(0, &byte, 1) == 1) {
      }
      continue;
    }
    key = byte;
    break;
  }
  RestoreTerminal();
  return key;
}

int SavedArgumentCount = 0;
char** SavedArguments = nullptr;

struct TFind {
  DIR* Directory = nullptr;
  std::string Path;  // the system path, ending in '/'
  bool IsRoot = false;
};

bool ReadEntry(TFind& find, TOsDirEntry& entry) {
  for (;;) {
    errno = 0;
    struct dirent* item = ::readdir(find.Directory);
    if (item == nullptr) return false;
    std::string name = item->d_name;
    if (find.IsRoot && (name == "proc" || name == "sys" || name == "dev" || name == "run")) {
      continue;
    }
    entry.Name = name;
    entry.IsDirectory = false;
    entry.IsDirectoryLink = false;
    unsigned char type = item->d_type;
    std::string full = find.Path + name;
    struct stat info;
    if (type == DT_UNKNOWN && ::lstat(full.c_str(), &info) == 0) {
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
    }
    if (type == DT_DIR) {
      entry.IsDirectory = true;
    } else if (type == DT_LNK && ::stat(full.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      entry.IsDirectory = true;
      entry.IsDirectoryLink = true;
    }
    return true;
  }
}

}  // namespace

// ---- Files ----

int OsOpenRead(const std::string& path, TOsHandle& handle, std::int64_t& size) {
  return OpenFile(path, O_RDONLY, 0, handle, &size);
}

int OsCreateNew(const std::string& path, TOsHandle& handle) {
  return OpenFile(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, PrivateMode, handle);
}

int OsOpenWrite(const std::string& path, TOsHandle& handle) {
  return OpenFile(path, O_RDWR | O_NOFOLLOW, 0, handle);
}

int OsRead(TOsHandle handle, void* buffer, std::int32_t count, std::int32_t& done) {
  done = 0;
  char* next = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = ::read(Fd(handle), next + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return 0;
}

int OsReadAt(TOsHandle handle, std::int64_t position, void* buffer, std::int32_t count,
             std::int32_t& done) {
  done = 0;
  if (position < 0) return EINVAL;
  char* next = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = ::pread(Fd(handle), next + done, static_cast<std::size_t>(count - done),
                        static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) break;
    done += static_cast<std::int32_t>(n);
  }
  return 0;
}

int OsWrite(TOsHandle handle, const void* buffer, std::int32_t count, std::int32_t& done) {
  done = 0;
  const char* next = static_cast<const char*>(buffer);
  while (done < count) {
    ssize_t n = ::write(Fd(handle), next + done, static_cast<std::size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return LastError();
    if (n == 0) return ENOSPC;
    done += static_cast<std::int32_t>(n);
  }
  return 0;
}

int OsSeek(TOsHandle handle, std::int64_t position) {
  if (position < 0) return EINVAL;
  if (::lseek(Fd(handle), static_cast<off_t>(position), SEEK_SET) < 0) return LastError();
  return 0;
}

int OsSetSize(TOsHandle handle, std::int64_t size) {
  if (size < 0) return EINVAL;
  int result;
  do {
    result = ::ftruncate(Fd(handle), static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  return result == 0 ? 0 : LastError();
}

int OsGetSize(TOsHandle handle, std::int64_t& size) {
  struct stat info;
  if (::fstat(Fd(handle), &info) != 0) return LastError();
  size = static_cast<std::int64_t>(info.st_size);
  return 0;
}

int OsGetPosition(TOsHandle handle, std::int64_t& position) {
  off_t at = ::lseek(Fd(handle), 0, SEEK_CUR);
  if (at < 0) return LastError();
  position = static_cast<std::int64_t>(at);
  return 0;
}

int OsClose(TOsHandle handle) {
  NoteClosedHandle(handle);
  // The descriptor is gone after close even when it reports EINTR.
  if (::close(Fd(handle)) != 0 && errno != EINTR) return LastError();
  return 0;
}

void OsStartWriteOut(TOsHandle handle, std::int64_t position, std::int64_t count) {
  (void)::sync_file_range(Fd(handle), static_cast<off_t>(position), static_cast<off_t>(count),
                          SYNC_FILE_RANGE_WRITE);
}

int OsTakeOwnerAndMode(const std::string& model, TOsHandle handle) {
  mode_t mode = NewFileMode;
  std::string mapped;
  struct stat info;
  if (!model.empty() && SystemPath(model, mapped) && ::lstat(mapped.c_str(), &info) == 0 &&
      S_ISREG(info.st_mode)) {
    mode = info.st_mode & 07777;
    // Owner and group first: a set-ID bit must never come with another owner.
    if (::fchown(Fd(handle), info.st_uid, info.st_gid) != 0) mode &= ~mode_t{S_ISUID | S_ISGID};
  }
  if (::fchmod(Fd(handle), mode) != 0) return LastError();
  return 0;
}

int OsSyncFiles(const std::vector<std::string>& paths) { return SyncFileSystems(paths, false); }

int OsSetWriteTime(TOsHandle handle, std::uint32_t dosStamp) {
  struct tm local;
  if (!ValidDosStamp(dosStamp, local)) return EINVAL;
  int flags = ::fcntl(Fd(handle), F_GETFL);
  if (flags < 0) return LastError();
  if ((flags & O_ACCMODE) == O_RDONLY) return EBADF;
  errno = 0;
  time_t seconds = ::mktime(&local);
  if (seconds == static_cast<time_t>(-1) && errno != 0) return LastError();
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the last-access time stays
  times[1].tv_sec = seconds;
  times[1].tv_nsec = 0;
  if (::futimens(Fd(handle), times) != 0) return LastError();
  return 0;
}

// ---- Names ----

int OsDelete(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped)) return ENOENT;
  // Linux refuses to unlink a directory with EISDIR.
  if (::unlink(mapped.c_str()) != 0) return LastError();
  return 0;
}

int OsRename(const std::string& from, const std::string& to) {
  std::string source, target;
  if (!SystemPath(from, source) || !SystemPath(to, target)) return ENOENT;
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return LastError();
  // File systems without the no-replace rename: a link never replaces either.
  if (::link(source.c_str(), target.c_str()) != 0) return LastError();
  if (::unlink(source.c_str()) != 0) {
    int error = LastError();
    (void)::unlink(target.c_str());
    return error;
  }
  return 0;
}

int OsReplace(const std::string& from, const std::string& to) {
  std::string source, target;
  if (!SystemPath(from, source) || !SystemPath(to, target)) return ENOENT;
  // A directory at target makes rename fail with EISDIR.
  if (::rename(source.c_str(), target.c_str()) != 0) return LastError();
  return 0;
}

int OsLink(const std::string& from, const std::string& to) {
  std::string source, target;
  if (!SystemPath(from, source) || !SystemPath(to, target)) return ENOENT;
  if (::link(source.c_str(), target.c_str()) != 0) return LastError();
  return 0;
}

bool OsSameFile(const std::string& first, const std::string& second) {
  std::string a, b;
  if (!SystemPath(first, a) || !SystemPath(second, b)) return false;
  struct stat infoA, infoB;
  if (::stat(a.c_str(), &infoA) != 0 || ::stat(b.c_str(), &infoB) != 0) return false;
  return infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

int OsMakeDirectory(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped)) return ENOENT;
  if (mapped.empty()) return ENOENT;
  if (::mkdir(mapped.c_str(), 0777) != 0) return LastError();
  return 0;
}

int OsMakeDirectoryLike(const std::string& path, const std::string& model) {
  std::string mapped, modelMapped;
  if (!SystemPath(path, mapped) || mapped.empty()) return ENOENT;
  mode_t mode = 0700;
  struct stat info;
  if (SystemPath(model, modelMapped) && !modelMapped.empty() &&
      ::lstat(modelMapped.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    mode = info.st_mode & 07777;
  }
  // Created private, then given the bits (which the umask would cut).
  if (::mkdir(mapped.c_str(), 0700) != 0) return LastError();
  int fd = OpenDirectory(mapped);
  if (fd < 0) return LastError();
  int result = ::fchmod(fd, mode) == 0 ? 0 : LastError();
  ::close(fd);
  return result;
}

int OsRemoveDirectory(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped) || mapped.empty()) return ENOENT;
  if (::rmdir(mapped.c_str()) != 0) return LastError();
  return 0;
}

int OsSyncDirectories(const std::vector<std::string>& paths) {
  return SyncFileSystems(paths, true);
}

TOsPathKind OsPathKind(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped) || mapped.empty()) return TOsPathKind::Missing;
  struct stat info;
  if (::lstat(mapped.c_str(), &info) != 0) return TOsPathKind::Missing;
  if (S_ISLNK(info.st_mode)) return TOsPathKind::Link;
  if (S_ISDIR(info.st_mode)) return TOsPathKind::Directory;
  if (S_ISREG(info.st_mode)) return TOsPathKind::File;
  return TOsPathKind::Other;
}

namespace {

void ToIdentity(const struct stat& info, TOsFileIdentity& identity) {
  identity.Device = static_cast<std::uint64_t>(info.st_dev);
  identity.Inode = static_cast<std::uint64_t>(info.st_ino);
  identity.Size = static_cast<std::int64_t>(info.st_size);
  identity.Modified =
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  identity.Links = static_cast<std::uint32_t>(info.st_nlink);
  identity.Regular = S_ISREG(info.st_mode);
}

}  // namespace

int OsFileIdentity(const std::string& path, bool follow, TOsFileIdentity& identity) {
  identity = TOsFileIdentity();
  std::string mapped;
  if (!SystemPath(path, mapped) || mapped.empty()) return ENOENT;
  struct stat info;
  if ((follow ? ::stat(mapped.c_str(), &info) : ::lstat(mapped.c_str(), &info)) != 0) {
    return LastError();
  }
  ToIdentity(info, identity);
  return 0;
}

int OsHandleIdentity(TOsHandle handle, TOsFileIdentity& identity) {
  identity = TOsFileIdentity();
  struct stat info;
  if (::fstat(Fd(handle), &info) != 0) return LastError();
  ToIdentity(info, identity);
  return 0;
}

int OsGetTimes(const std::string& directory, TOsTimes& times) {
  std::string mapped;
  if (!SystemPath(directory, mapped) || mapped.empty()) return ENOENT;
  struct stat info;
  if (::lstat(mapped.c_str(), &info) != 0) return LastError();
  times.Access[0] = info.st_atim.tv_sec;
  times.Access[1] = info.st_atim.tv_nsec;
  times.Write[0] = info.st_mtim.tv_sec;
  times.Write[1] = info.st_mtim.tv_nsec;
  return 0;
}

int OsSetTimes(const std::string& directory, const TOsTimes& times) {
  std::string mapped;
  if (!SystemPath(directory, mapped) || mapped.empty()) return ENOENT;
  struct timespec values[2];
  values[0].tv_sec = static_cast<time_t>(times.Access[0]);
  values[0].tv_nsec = static_cast<long>(times.Access[1]);
  values[1].tv_sec = static_cast<time_t>(times.Write[0]);
  values[1].tv_nsec = static_cast<long>(times.Write[1]);
  if (::utimensat(AT_FDCWD, mapped.c_str(), values, AT_SYMLINK_NOFOLLOW) != 0) return LastError();
  return 0;
}

bool OsCanCreateIn(const std::string& directory) {
  std::string mapped;
  if (!SystemPath(directory, mapped) || mapped.empty()) return false;
  return ::faccessat(AT_FDCWD, mapped.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool OsIsDirectory(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped) || mapped.empty()) return false;
  struct stat info;
  return ::stat(mapped.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool OsIsRegularFile(const std::string& path) {
  std::string mapped;
  if (!SystemPath(path, mapped)) return false;
  struct stat info;
  return ::stat(mapped.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// ---- Directory listing ----

TOsHandle OsFindFirst(const std::string& directory, TOsDirEntry& entry) {
  std::string mapped;
  if (!SystemPath(directory, mapped) || mapped.empty()) return NoHandle;
  if (mapped.back() != '/') mapped += '/';
  DIR* dir = ::opendir(mapped.c_str());
  if (dir == nullptr) return NoHandle;
  auto* find = new TFind;
  find->Directory = dir;
  find->Path = mapped;
  struct stat info, root;
  find->IsRoot = ::stat(mapped.c_str(), &info) == 0 && ::stat("/", &root) == 0 &&
                 info.st_dev == root.st_dev && info.st_ino == root.st_ino;
  if (!ReadEntry(*find, entry)) {
    ::closedir(dir);
    delete find;
    return NoHandle;
  }
  return reinterpret_cast<TOsHandle>(find);
}

bool OsFindNext(TOsHandle find, TOsDirEntry& entry) {
  if (find == NoHandle) return false;
  return ReadEntry(*reinterpret_cast<TFind*>(find), entry);
}

void OsFindClose(TOsHandle find) {
  if (find == NoHandle) return;
  auto* state = reinterpret_cast<TFind*>(find);
  ::closedir(state->Directory);
  delete state;
}

// ---- Console ----

void OsWriteConsole(const char* text, std::size_t length) { WriteAll(2, text, length); }

void OsWriteOut(const char* text, std::size_t length) { WriteAll(1, text, length); }

bool OsConsoleIsTerminal() { return ::isatty(2) == 1; }

std::uint8_t OsWaitKey(bool timed, std::uint32_t limitMilliseconds) {
  std::int64_t deadline = timed ? NowMilliseconds() + limitMilliseconds : -1;
  if (::isatty(0)) return WaitTerminalKey(deadline);
  // Piped or redirected input: each byte is a key; the end gives 0 at once.
  for (;;) {
    if (!InputReady(deadline)) return 0;
    std::uint8_t byte;
    ssize_t n = ::read(0, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd input = {0, POLLIN, 0};
      (void)::poll(&input, 1, 10);
      continue;
    }
    return n == 1 ? byte : 0;
  }
}

// ---- Process ----

void OsStartup(int argc, char** argv) {
  SavedArgumentCount = argc;
  SavedArguments = argv;
  // A closed standard descriptor would be taken by the next file opened (the
  // patch), and a key wait or a message would then read or write that file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
      if (opened >= 0 && opened != fd) ::close(opened);
    }
  }
  // A reader that went away (| head) or a file-size limit: the write fails
  // and the run deals with that, instead of ending halfway.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  const mode_t mask = ::umask(022);
  ::umask(mask);
  NewFileMode = 0666 & ~mask;
}

void OsCatchInterrupts() {
  struct sigaction note = {};
  note.sa_handler = NoteInterrupt;
  ::sigemptyset(&note.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old = {};
    ::sigaction(signalNumber, nullptr, &old);
    // A signal ignored by whoever started us (nohup, a background job) stays so.
    if (old.sa_handler != SIG_IGN) ::sigaction(signalNumber, &note, nullptr);
  }
}

bool InterruptArrived() { return InterruptFlag != 0; }

bool OsCommandLineText(std::string& text) {
  text.clear();
  return false;
}

std::vector<std::string> OsSplitArguments() {
  std::vector<std::string> arguments;
  for (int i = 1; i < SavedArgumentCount; ++i) {
    // An empty argument is dropped, as a lone pair of quotes is on Windows.
    if (SavedArguments[i] != nullptr && SavedArguments[i][0] != '\0') {
      arguments.emplace_back(SavedArguments[i]);
    }
  }
  return arguments;
}

std::string OsProgramPath() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n > 0) {
    path.resize(static_cast<std::size_t>(n));
    return path;
  }
  return SavedArgumentCount > 0 && SavedArguments[0] != nullptr ? SavedArguments[0] : "";
}

std::string OsTempPath() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  if (path.back() != '/') path += '/';
  return path;
}

void PrepareExit() { RestoreTerminal(); }

void EndProcess(int code) { std::exit(code); }

}  // namespace mendrix
