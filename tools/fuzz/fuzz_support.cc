#include "fuzz_support.h"

#include <fcntl.h>
#include <sanitizer/allocator_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mount.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace mendrix::fuzz {
namespace {

constexpr long TmpfsMagic = 0x01021994;  // statfs f_type of a tmpfs

std::string ScratchRoot;
std::string MountPoint;  // a tmpfs mounted here, or empty

void RemoveScratch() {
  std::error_code error;
  std::filesystem::remove_all(ScratchRoot, error);
  if (!MountPoint.empty()) {
    ::umount2(MountPoint.c_str(), MNT_DETACH);
    ::rmdir(MountPoint.c_str());
  }
}

std::string ScratchBase() {
  if (const char* dir = std::getenv("MENDRIX_FUZZ_DIR")) return dir;
  struct statfs info;
  if (::statfs("/dev/shm", &info) == 0 && static_cast<long>(info.f_type) == TmpfsMagic) {
    return "/dev/shm";
  }
  std::string point = "/tmp/mendrix-fuzz-mount-XXXXXX";
  if (::mkdtemp(point.data()) != nullptr) {
    if (::mount("tmpfs", point.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=512m") == 0) {
      MountPoint = point;
      return point;
    }
    ::rmdir(point.c_str());
  }
  std::fprintf(stderr,
               "mendrix-fuzz: no memory file system (no tmpfs at /dev/shm, and none can be\n"
               "  mounted): the scratch directory goes to /tmp, and runs are slower\n");
  return "/tmp";
}

}  // namespace

void Finding(const std::string& what) {
  const std::string line = "mendrix-fuzz finding: " + what;
  std::fprintf(stderr, "\n==%s\n", line.c_str());
  std::fflush(stderr);
  __sanitizer_report_error_summary(line.c_str());
  std::abort();
}

void ThrowOnExit(int code, void* /*data*/) { throw TExitRequest{code}; }

void QuietStandardStreams() {
  const int null = ::open("/dev/null", O_RDWR);
  if (null < 0) Finding("no /dev/null");
  ::dup2(null, 0);
  ::dup2(null, 1);
  ::close(null);
}

std::string MakeScratchRoot(const std::string& prefix) {
  std::string pattern = ScratchBase() + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Finding("can't make the scratch directory");
  ScratchRoot = pattern;
  std::atexit(RemoveScratch);
  return ScratchRoot;
}

namespace {

bool CountingHeap = false;
std::int64_t HeapGrowth = 0;
std::int64_t HeapPeak = 0;

void OnAllocate(const volatile void* /*pointer*/, std::size_t size) {
  if (!CountingHeap) return;
  HeapGrowth += static_cast<std::int64_t>(size);
  HeapPeak = std::max(HeapPeak, HeapGrowth);
}

void OnFree(const volatile void* pointer) {
  if (CountingHeap) {
    HeapGrowth -=
        static_cast<std::int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
  }
}

}  // namespace

void InstallHeapCounter() { __sanitizer_install_malloc_and_free_hooks(OnAllocate, OnFree); }

void StartHeapCount() {
  HeapGrowth = 0;
  HeapPeak = 0;
  CountingHeap = true;
}

std::int64_t StopHeapCount() {
  CountingHeap = false;
  return HeapPeak;
}

}  // namespace mendrix::fuzz
