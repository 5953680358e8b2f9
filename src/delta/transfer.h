// Whole transfers for the decoder's buffers: one read or write of the whole
// count, where ReadBlock and WriteBlock cut it into pieces of BlockPiece.
// Big buffers then cost one system call each, with the same outcome: true
// only when every byte moved and no failure was pending before.
#ifndef MENDRIX_DELTA_TRANSFER_H_
#define MENDRIX_DELTA_TRANSFER_H_

#include <cstdint>

#include "fileio/fileio.h"

namespace mendrix {

inline bool ReadWhole(TDiskFile& file, void* buffer, std::int32_t count) {
  ReadExact(file, buffer, count);
  return TakeIoStatus() == 0;
}

inline bool WriteWhole(TDiskFile& file, const void* buffer, std::int32_t count) {
  WriteExact(file, buffer, count);
  return TakeIoStatus() == 0;
}

}  // namespace mendrix

#endif  // MENDRIX_DELTA_TRANSFER_H_
