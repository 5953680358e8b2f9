// The memory patch behind the platform layer: see memory_patch.h. The linker
// sends every call of a wrapped function here (__wrap_<symbol>), and
// __real_<symbol> is the platform layer's own definition.
#include "memory_patch.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_shared.h"

namespace mendrix::fuzz {
namespace {

// Far above any descriptor number the process gets.
constexpr TOsHandle MemoryHandle = TOsHandle{1} << 30;

const std::uint8_t* Bytes = nullptr;
std::int64_t Size = 0;
std::int64_t Position = 0;
int OpenCount = 0;

}  // namespace

void SetMemoryPatch(const std::uint8_t* data, std::size_t size) {
  Bytes = data;
  Size = static_cast<std::int64_t>(size);
}

int OpenMemoryPatches() { return OpenCount; }

}  // namespace mendrix::fuzz

using mendrix::TOsHandle;
using mendrix::fuzz::Bytes;
using mendrix::fuzz::MemoryHandle;
using mendrix::fuzz::OpenCount;
using mendrix::fuzz::Position;
using mendrix::fuzz::Size;

// The mangled names of the platform functions wrapped; the list in
// CMakeLists.txt must match.
#define MENDRIX_OPEN_READ \
  _ZN7mendrix10OsOpenReadERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERlS8_
#define MENDRIX_READ _ZN7mendrix6OsReadElPviRi
#define MENDRIX_READ_AT _ZN7mendrix8OsReadAtEllPviRi
#define MENDRIX_SEEK _ZN7mendrix6OsSeekEll
#define MENDRIX_GET_SIZE _ZN7mendrix9OsGetSizeElRl
#define MENDRIX_GET_POSITION _ZN7mendrix13OsGetPositionElRl
#define MENDRIX_CLOSE _ZN7mendrix7OsCloseEl
#define MENDRIX_WRITE_CONSOLE _ZN7mendrix14OsWriteConsoleEPKcm
#define MENDRIX_WRITE_OUT _ZN7mendrix10OsWriteOutEPKcm
#define MENDRIX_JOIN(a, b) a##b
#define MENDRIX_WRAP(name) MENDRIX_JOIN(__wrap_, name)
#define MENDRIX_REAL(name) MENDRIX_JOIN(__real_, name)

extern "C" {

int MENDRIX_REAL(MENDRIX_OPEN_READ)(const std::string& path, TOsHandle& handle, std::int64_t& size);
int MENDRIX_REAL(MENDRIX_READ)(TOsHandle handle, void* buffer, std::int32_t count,
                               std::int32_t& done);
int MENDRIX_REAL(MENDRIX_READ_AT)(TOsHandle handle, std::int64_t position, void* buffer,
                                  std::int32_t count, std::int32_t& done);
int MENDRIX_REAL(MENDRIX_SEEK)(TOsHandle handle, std::int64_t position);
int MENDRIX_REAL(MENDRIX_GET_SIZE)(TOsHandle handle, std::int64_t& size);
int MENDRIX_REAL(MENDRIX_GET_POSITION)(TOsHandle handle, std::int64_t& position);
int MENDRIX_REAL(MENDRIX_CLOSE)(TOsHandle handle);

int MENDRIX_WRAP(MENDRIX_OPEN_READ)(const std::string& path, TOsHandle& handle,
                                    std::int64_t& size) {
  if (path != mendrix::fuzz::MemoryPatchPath)
    return MENDRIX_REAL(MENDRIX_OPEN_READ)(path, handle, size);
  handle = MemoryHandle;
  size = Size;
  Position = 0;
  ++OpenCount;
  mendrix::NoteOpenHandle(handle);  // as the platform notes its own: closed on the way out
  return 0;
}

// Reads from the position on, like read(2) on a regular file: fewer bytes
// at the end, none past it.
static std::int32_t CopyOut(std::int64_t from, void* buffer, std::int32_t count) {
  if (count <= 0 || from >= Size) return 0;
  const std::int64_t available = Size - from;
  const std::int32_t done = available < count ? static_cast<std::int32_t>(available) : count;
  std::memcpy(buffer, Bytes + from, static_cast<std::size_t>(done));
  return done;
}

int MENDRIX_WRAP(MENDRIX_READ)(TOsHandle handle, void* buffer, std::int32_t count,
                               std::int32_t& done) {
  if (handle != MemoryHandle) return MENDRIX_REAL(MENDRIX_READ)(handle, buffer, count, done);
  done = CopyOut(Position, buffer, count);
  Position += done;
  return 0;
}

int MENDRIX_WRAP(MENDRIX_READ_AT)(TOsHandle handle, std::int64_t position, void* buffer,
                                  std::int32_t count, std::int32_t& done) {
  if (handle != MemoryHandle) {
    return MENDRIX_REAL(MENDRIX_READ_AT)(handle, position, buffer, count, done);
  }
  done = 0;
  if (position < 0) return EINVAL;
  done = CopyOut(position, buffer, count);
  return 0;
}

int MENDRIX_WRAP(MENDRIX_SEEK)(TOsHandle handle, std::int64_t position) {
  if (handle != MemoryHandle) return MENDRIX_REAL(MENDRIX_SEEK)(handle, position);
  if (position < 0) return EINVAL;
  Position = position;
  return 0;
}

int MENDRIX_WRAP(MENDRIX_GET_SIZE)(TOsHandle handle, std::int64_t& size) {
  if (handle != MemoryHandle) return MENDRIX_REAL(MENDRIX_GET_SIZE)(handle, size);
  size = Size;
  return 0;
}

int MENDRIX_WRAP(MENDRIX_GET_POSITION)(TOsHandle handle, std::int64_t& position) {
  if (handle != MemoryHandle) return MENDRIX_REAL(MENDRIX_GET_POSITION)(handle, position);
  position = Position;
  return 0;
}

int MENDRIX_WRAP(MENDRIX_CLOSE)(TOsHandle handle) {
  if (handle != MemoryHandle) return MENDRIX_REAL(MENDRIX_CLOSE)(handle);
  if (OpenCount == 0) return EBADF;
  --OpenCount;
  mendrix::NoteClosedHandle(handle);
  return 0;
}

void MENDRIX_WRAP(MENDRIX_WRITE_CONSOLE)(const char* /*text*/, std::size_t /*length*/) {}
void MENDRIX_WRAP(MENDRIX_WRITE_OUT)(const char* /*text*/, std::size_t /*length*/) {}

}  // extern "C"
