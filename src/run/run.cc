// Placeholder until the module is written.
#include "run/run.h"

namespace mendrix {
void RunPatch(TRunOptions&) {}
}  // namespace mendrix
