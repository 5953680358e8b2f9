// Placeholder until the module is written.
#include "target/entries.h"

namespace mendrix {
bool ProcessEntries(TPatchContext&, const TRunOptions&, bool, bool) { return false; }
void DeleteQuietly(const std::string&) {}
void InstallResult(TPatchContext&, const std::string&, const std::string&) {}
}  // namespace mendrix
