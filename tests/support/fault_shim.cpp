// A library preloaded into a program under test (LD_PRELOAD) that counts the
// program's file-changing operations and, at a chosen one, makes it fail,
// kills the process or sends it a signal. Test-only: the program itself is
// unchanged.
//
// Counted operations (each one step of the count, in the order they happen):
//   create  open/openat/creat with O_CREAT
//   write   write to a regular file
//   ftruncate  ftruncate of a regular file
//   close   close of a regular file open for writing
//   rename  rename, renameat, renameat2
//   link    link, linkat
//   unlink  unlink, unlinkat
//   mkdir   mkdir, mkdirat
//   sync    fsync, fdatasync, syncfs (of any file or directory)
//
// Environment:
//   MENDRIX_FAULT_LOG     file to which one line "<n> <op> <path>" is appended
//                         per counted operation (optional); for operations on
//                         an open file the path is the file's, or "-"
//   MENDRIX_FAULT_AT      the operation (1-based) to act on; none when unset
//   MENDRIX_FAULT_ACTION  "fail" (default): the operation fails with
//                         MENDRIX_FAULT_ERRNO (default ENOSPC) and does nothing
//                         ("close" closes, then reports the failure);
//                         "kill": the process is killed with SIGKILL just
//                         before the operation;
//                         "signal": the calling thread gets the signal
//                         MENDRIX_FAULT_SIGNAL (default SIGINT) just before
//                         the operation, whose handler runs before the
//                         operation goes on as usual
//   MENDRIX_FAULT_OPS     comma-separated operations that count (default all)
//   MENDRIX_FAULT_ALWAYS  comma-separated operations that always fail with
//                         MENDRIX_FAULT_ERRNO and are not counted, e.g. "link"
//                         for a file system without hard links
//
// It is built without sanitizers; with an AddressSanitizer program set
// ASAN_OPTIONS=verify_asan_link_order=0.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class TAction { Fail, Kill, Signal };

struct TShimState {
  bool Ready = false;
  long Count = 0;
  long FaultAt = 0;
  TAction Action = TAction::Fail;
  int Signal = SIGINT;
  int Errno = ENOSPC;
  char Ops[256] = "";  // "" counts every operation
  char Always[256] = "";
  char Log[4096] = "";
};

TShimState State;

void Setup() {
  if (State.Ready) return;
  State.Ready = true;
  if (const char* at = getenv("MENDRIX_FAULT_AT")) State.FaultAt = strtol(at, nullptr, 10);
  if (const char* action = getenv("MENDRIX_FAULT_ACTION")) {
    if (strcmp(action, "kill") == 0) State.Action = TAction::Kill;
    if (strcmp(action, "signal") == 0) State.Action = TAction::Signal;
  }
  if (const char* signal = getenv("MENDRIX_FAULT_SIGNAL")) State.Signal = atoi(signal);
  if (const char* code = getenv("MENDRIX_FAULT_ERRNO")) State.Errno = atoi(code);
  if (const char* ops = getenv("MENDRIX_FAULT_OPS")) {
    snprintf(State.Ops, sizeof State.Ops, ",%s,", ops);
  }
  if (const char* always = getenv("MENDRIX_FAULT_ALWAYS")) {
    snprintf(State.Always, sizeof State.Always, ",%s,", always);
  }
  if (const char* log = getenv("MENDRIX_FAULT_LOG")) snprintf(State.Log, sizeof State.Log, "%s", log);
}

bool Listed(const char* list, const char* op) {
  char key[32];
  snprintf(key, sizeof key, ",%s,", op);
  return strstr(list, key) != nullptr;
}

bool Counts(const char* op) { return State.Ops[0] == '\0' || Listed(State.Ops, op); }

// Raw system calls for the shim's own bookkeeping, so that it never counts
// or intercepts itself.
void AppendLog(long n, const char* op, const char* path) {
  if (State.Log[0] == '\0') return;
  int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, State.Log,
                                    O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (fd < 0) return;
  char line[4200];
  int length = snprintf(line, sizeof line, "%ld %s %s\n", n, op, path != nullptr ? path : "-");
  if (length > static_cast<int>(sizeof line) - 1) length = static_cast<int>(sizeof line) - 1;
  if (length > 0) (void)syscall(SYS_write, fd, line, static_cast<size_t>(length));
  (void)syscall(SYS_close, fd);
}

// Counts one operation. True when it is the one to fail; a kill or a signal
// happens here.
bool Step(const char* op, const char* path) {
  Setup();
  if (State.Always[0] != '\0' && Listed(State.Always, op)) return true;
  if (!Counts(op)) return false;
  const long n = ++State.Count;
  AppendLog(n, op, path);
  if (n != State.FaultAt) return false;
  switch (State.Action) {
    case TAction::Fail:
      return true;
    case TAction::Kill:
      (void)syscall(SYS_kill, getpid(), SIGKILL);
      for (;;) pause();
    case TAction::Signal: {
      // Aimed at this thread, so that its handler has run when the call
      // returns, whatever other threads the process has.
      const int saved = errno;
      (void)syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), State.Signal);
      errno = saved;
      return false;
    }
  }
  return false;
}

// The same for an operation on the open file fd, logged with its path.
bool StepOnFile(const char* op, int fd) {
  Setup();
  char path[4096] = "-";
  if (State.Log[0] != '\0') {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const long length = syscall(SYS_readlinkat, AT_FDCWD, link, path, sizeof path - 1);
    if (length > 0) path[length] = '\0';
  }
  return Step(op, path);
}

template <typename TFunction>
TFunction Next(const char* name) {
  return reinterpret_cast<TFunction>(dlsym(RTLD_NEXT, name));
}

bool IsRegular(int fd) {
  struct stat info;
  return syscall(SYS_fstat, fd, &info) == 0 && S_ISREG(info.st_mode);
}

bool IsWritableRegular(int fd) {
  int flags = static_cast<int>(syscall(SYS_fcntl, fd, F_GETFL));
  return flags >= 0 && (flags & O_ACCMODE) != O_RDONLY && IsRegular(fd);
}

int Fail() {
  errno = State.Errno;
  return -1;
}

// The open family: only creating opens count.
using TOpen = int (*)(const char*, int, ...);
using TOpenAt = int (*)(int, const char*, int, ...);

int OpenCommon(const char* name, const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) != 0 && Step("create", path)) return Fail();
  static TOpen next[4];
  static const char* names[4] = {"open", "open64", "__open_2", "__open64_2"};
  int index = 0;
  while (index < 3 && strcmp(names[index], name) != 0) ++index;
  if (next[index] == nullptr) next[index] = Next<TOpen>(names[index]);
  if (next[index] == nullptr) return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
  return next[index](path, flags, mode);
}

int OpenAtCommon(const char* name, int dir, const char* path, int flags, mode_t mode) {
  if ((flags & O_CREAT) != 0 && Step("create", path)) return Fail();
  static TOpenAt next[2];
  int index = strcmp(name, "openat") == 0 ? 0 : 1;
  if (next[index] == nullptr) next[index] = Next<TOpenAt>(name);
  if (next[index] == nullptr) return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
  return next[index](dir, path, flags, mode);
}

mode_t ModeArgument(int flags, va_list args) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    return static_cast<mode_t>(va_arg(args, int));
  }
  return 0;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenCommon("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenCommon("open64", path, flags, mode);
}

int __open_2(const char* path, int flags) { return OpenCommon("__open_2", path, flags, 0); }

int __open64_2(const char* path, int flags) { return OpenCommon("__open64_2", path, flags, 0); }

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAtCommon("openat", dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAtCommon("openat64", dir, path, flags, mode);
}

int creat(const char* path, mode_t mode) {
  return OpenCommon("open", path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

ssize_t write(int fd, const void* buffer, size_t count) {
  using TWrite = ssize_t (*)(int, const void*, size_t);
  static TWrite next = Next<TWrite>("write");
  if (IsRegular(fd) && StepOnFile("write", fd)) return Fail();
  if (next == nullptr) return syscall(SYS_write, fd, buffer, count);
  return next(fd, buffer, count);
}

int ftruncate(int fd, off_t length) {
  using TTruncate = int (*)(int, off_t);
  static TTruncate next = Next<TTruncate>("ftruncate");
  if (IsRegular(fd) && StepOnFile("ftruncate", fd)) return Fail();
  if (next == nullptr) return static_cast<int>(syscall(SYS_ftruncate, fd, length));
  return next(fd, length);
}

int close(int fd) {
  using TClose = int (*)(int);
  static TClose next = Next<TClose>("close");
  bool fail = IsWritableRegular(fd) && StepOnFile("close", fd);
  int result = next != nullptr ? next(fd) : static_cast<int>(syscall(SYS_close, fd));
  if (fail) return Fail();
  return result;
}

int rename(const char* from, const char* to) {
  using TRename = int (*)(const char*, const char*);
  static TRename next = Next<TRename>("rename");
  if (Step("rename", to)) return Fail();
  return next(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  using TRenameAt = int (*)(int, const char*, int, const char*);
  static TRenameAt next = Next<TRenameAt>("renameat");
  if (Step("rename", to)) return Fail();
  return next(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags) {
  using TRenameAt2 = int (*)(int, const char*, int, const char*, unsigned int);
  static TRenameAt2 next = Next<TRenameAt2>("renameat2");
  if (Step("rename", to)) return Fail();
  if (next == nullptr) {
    return static_cast<int>(syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
  }
  return next(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to) {
  using TLink = int (*)(const char*, const char*);
  static TLink next = Next<TLink>("link");
  if (Step("link", to)) return Fail();
  return next(from, to);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  using TLinkAt = int (*)(int, const char*, int, const char*, int);
  static TLinkAt next = Next<TLinkAt>("linkat");
  if (Step("link", to)) return Fail();
  return next(fromDir, from, toDir, to, flags);
}

int unlink(const char* path) {
  using TUnlink = int (*)(const char*);
  static TUnlink next = Next<TUnlink>("unlink");
  if (Step("unlink", path)) return Fail();
  return next(path);
}

int unlinkat(int dir, const char* path, int flags) {
  using TUnlinkAt = int (*)(int, const char*, int);
  static TUnlinkAt next = Next<TUnlinkAt>("unlinkat");
  if (Step("unlink", path)) return Fail();
  return next(dir, path, flags);
}

int mkdir(const char* path, mode_t mode) {
  using TMkdir = int (*)(const char*, mode_t);
  static TMkdir next = Next<TMkdir>("mkdir");
  if (Step("mkdir", path)) return Fail();
  return next(path, mode);
}

int mkdirat(int dir, const char* path, mode_t mode) {
  using TMkdirAt = int (*)(int, const char*, mode_t);
  static TMkdirAt next = Next<TMkdirAt>("mkdirat");
  if (Step("mkdir", path)) return Fail();
  return next(dir, path, mode);
}

int fsync(int fd) {
  using TSync = int (*)(int);
  static TSync next = Next<TSync>("fsync");
  if (StepOnFile("sync", fd)) return Fail();
  if (next == nullptr) return static_cast<int>(syscall(SYS_fsync, fd));
  return next(fd);
}

int fdatasync(int fd) {
  using TSync = int (*)(int);
  static TSync next = Next<TSync>("fdatasync");
  if (StepOnFile("sync", fd)) return Fail();
  if (next == nullptr) return static_cast<int>(syscall(SYS_fdatasync, fd));
  return next(fd);
}

int syncfs(int fd) {
  using TSync = int (*)(int);
  static TSync next = Next<TSync>("syncfs");
  if (StepOnFile("sync", fd)) return Fail();
  if (next == nullptr) return static_cast<int>(syscall(SYS_syncfs, fd));
  return next(fd);
}

}  // extern "C"
