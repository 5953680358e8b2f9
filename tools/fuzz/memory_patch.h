// A patch file held in memory, for fuzz targets that only read patches.
//
// Linked with the options of MemoryPatchLinkOptions (tools/fuzz/CMakeLists),
// the platform layer's read-side file calls (open for reading, read, read at,
// seek, size, position, close) go through memory_patch.cc first: the path
// MemoryPatchPath opens the bytes last given to SetMemoryPatch, with the
// same results a file on disk with those bytes would give, and any other
// path or handle goes on to the real platform layer. Console and standard
// output writes are dropped. No system call is made for the patch, so an
// input costs what parsing it costs.
#ifndef MENDRIX_TOOLS_FUZZ_MEMORY_PATCH_H_
#define MENDRIX_TOOLS_FUZZ_MEMORY_PATCH_H_

#include <cstddef>
#include <cstdint>

namespace mendrix::fuzz {

inline constexpr const char* MemoryPatchPath = "/mendrix-fuzz-memory/patch.pat";

// The bytes the memory patch holds from now on; they must stay valid until
// the next call. A patch already open sees the new bytes.
void SetMemoryPatch(const std::uint8_t* data, std::size_t size);

// Handles of the memory patch open now (a run opens it once).
int OpenMemoryPatches();

}  // namespace mendrix::fuzz

#endif  // MENDRIX_TOOLS_FUZZ_MEMORY_PATCH_H_
