// What the fuzz targets share: how a finding is reported, the exit hook that
// turns a fatal stop into an exception, a scratch directory on a memory file
// system, and a count of the heap's growth.
#ifndef MENDRIX_TOOLS_FUZZ_FUZZ_SUPPORT_H_
#define MENDRIX_TOOLS_FUZZ_FUZZ_SUPPORT_H_

#include <cstdint>
#include <string>

namespace mendrix::fuzz {

// Reports a finding (on standard error and through the sanitizer's report
// channel, which survives -close_fd_mask) and aborts.
[[noreturn]] void Finding(const std::string& what);

// What the exit hook throws: a fatal stop unwinds back to the target.
struct TExitRequest {
  int Code = 0;
};
void ThrowOnExit(int code, void* data);

// Standard input at its end (key waits return at once) and standard output
// on the null device.
void QuietStandardStreams();

// A new directory named after prefix under MENDRIX_FUZZ_DIR when set, else
// on a memory file system: /dev/shm when it is a tmpfs, or a tmpfs mounted
// for this process when it may mount one; /tmp, with a message, otherwise.
// Removed with all it holds when the process ends normally (a finding keeps
// it for inspection).
std::string MakeScratchRoot(const std::string& prefix);

// Counts how far the heap grows while counting, from the allocator's hooks.
// InstallHeapCounter once, then StartHeapCount before the code to measure
// and StopHeapCount after it: it returns the most the heap held beyond what
// it held at the start.
void InstallHeapCounter();
void StartHeapCount();
std::int64_t StopHeapCount();

}  // namespace mendrix::fuzz

#endif  // MENDRIX_TOOLS_FUZZ_FUZZ_SUPPORT_H_
