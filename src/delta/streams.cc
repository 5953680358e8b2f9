// Placeholder until the module is written.
#include "delta/streams.h"

namespace mendrix {
std::string NewWorkFileName(const std::string& tempDir) { return tempDir + "DWX0"; }
bool CreateWorkFile(const std::string&, TDiskFile&, std::string&) { return false; }
bool CopyFromPatch(TDiskFile&, std::int32_t, TDiskFile&, const std::string&) { return false; }
void BufferVariantStreams(TPatchContext&, const TVariantInfo&, std::int32_t) {}
void ReleaseVariantStreams() {}
void ResetBitReaders() {}
bool ReadFlagBit() { return false; }
bool ReadSignBit() { return false; }
void SetNumberLimit(std::int32_t) {}
void SetNumberBytesLeft(std::int32_t) {}
std::int32_t NumberBytesLeft() { return 0; }
std::int32_t ReadNumber() { return 0; }
std::uint8_t ReadCountByte() { return 0; }
bool ReadInsertBytes(std::uint8_t*, std::int32_t) { return false; }
bool ReadAddBytes(std::uint8_t*, std::int32_t) { return false; }
}  // namespace mendrix
