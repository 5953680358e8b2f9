// Placeholder until the module is written.
#include "writer/patch_writer.h"

namespace mendrix {
bool WritePatch(const TWriterPatch&, std::vector<std::uint8_t>&, std::string&) { return false; }
bool WriteBytesToFile(const std::string&, const std::vector<std::uint8_t>&) { return false; }
}  // namespace mendrix
