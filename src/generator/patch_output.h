// Where a patch goes: the checks that keep the vendor's files safe, made
// before any work, and the write that never leaves half a patch.
#ifndef MENDRIX_GENERATOR_PATCH_OUTPUT_H_
#define MENDRIX_GENERATOR_PATCH_OUTPUT_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mendrix {

// True when output may receive the patch: it is none of the inputs (by file
// identity, so another spelling or a link to one counts too), lies inside no
// input directory, is no directory itself, and its directory exists; an
// existing file there only with force. False with error set (a complete
// message) otherwise.
bool CheckPatchOutput(const std::string& output, const std::vector<std::string>& inputs, bool force,
                      std::string& error);

// Writes bytes to a new private file beside path ("path.partial<n>"), makes
// it durable, gives it the permissions of a new file (with the execute bits
// when executable) and renames it onto path: replacing a file there only
// with replace. Interrupts (Ctrl-C) are caught from here on: one that comes
// before the rename ends the write. On failure nothing is left beside path
// and a file at path is as it was; error is then a complete message.
bool WritePatchFile(const std::string& path, std::span<const std::uint8_t> bytes, bool replace,
                    bool executable, std::string& error);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_PATCH_OUTPUT_H_
