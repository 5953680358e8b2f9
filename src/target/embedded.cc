// Placeholder until the module is written.
#include "target/embedded.h"

namespace mendrix {
void WriteEmbeddedFile(TPatchContext&, bool) {}
}  // namespace mendrix
