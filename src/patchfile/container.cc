// Placeholder until the module is written.
#include "patchfile/container.h"

namespace mendrix {
void OpenPatch(TPatchContext&, const TRunOptions&) {}
bool ReadShortString(TDiskFile&, std::string& text) { text.clear(); return false; }
void PrintNotice(const std::string&) {}
bool IsContainedName(const std::string&) { return false; }
}  // namespace mendrix
