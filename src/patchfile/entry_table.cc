// Placeholder until the module is written.
#include "patchfile/entry_table.h"

namespace mendrix {
std::uint8_t ReadEntry(TPatchContext&, const TRunOptions&) { return 0; }
}  // namespace mendrix
