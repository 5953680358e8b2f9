// Placeholder until the module is written.
#include "delta/apply.h"

namespace mendrix {
bool ApplyVariant(TPatchContext&, const TVariantInfo&, std::int32_t, const std::string&, std::string&,
                  bool, bool, std::int32_t, const TExcludeRange&) { return false; }
}  // namespace mendrix
