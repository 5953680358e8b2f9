#include "generator/patch_output.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t WritePiece = 1 << 20;  // bytes per write, between interrupt checks
constexpr int MaxPartialNames = 1000;         // "path.partial0" to "path.partial999"

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code code;
  return fs::equivalent(a, b, code) && !code;
}

// Creates the first free "target.partial<n>" for writing. False when none of
// them can be had, or one can't be made for another reason than that it is
// taken.
bool CreatePartial(const std::string& target, TOsHandle& handle, std::string& partial) {
  for (int n = 0; n < MaxPartialNames; ++n) {
    partial = target + ".partial" + std::to_string(n);
    if (OsCreateNew(partial, handle) == 0) return true;
    handle = NoHandle;
    // Taken: try the next name; anything else is a failure.
    if (OsPathKind(partial) == TOsPathKind::Missing) return false;
  }
  return false;
}

}  // namespace

bool CheckPatchOutput(const std::string& output, const std::vector<std::string>& inputs, bool force,
                      std::string& error) {
  const std::string quoted = "\"" + output + "\"";
  // The platform layer reads a backslash as a separator, which a name on a
  // system that separates by slashes doesn't mean.
  if (fs::path::preferred_separator == '/' && output.find('\\') != std::string::npos) {
    error = "Error, the patch name " + quoted + " holds a backslash; choose another name!";
    return false;
  }
  std::error_code code;
  const fs::path path = fs::absolute(output, code);
  if (code || !path.has_filename()) {
    error = "Error, " + quoted + " names no file!";
    return false;
  }
  for (const std::string& input : inputs) {
    if (SameFile(path, input)) {
      error = "Error, " + quoted + " is the input \"" + input +
              "\"; a patch never replaces one of its inputs!";
      return false;
    }
  }
  const fs::file_status status = fs::symlink_status(path, code);
  if (fs::is_directory(fs::status(path, code))) {
    error = "Error, " + quoted + " is a directory!";
    return false;
  }
  const fs::path parent = fs::canonical(path.parent_path(), code);
  if (code || !fs::is_directory(parent, code)) {
    error = "Error, can't write patch " + quoted + ": its directory isn't there!";
    return false;
  }
  // The patch must not land in a tree it is made from, under any spelling.
  for (const std::string& input : inputs) {
    if (!fs::is_directory(input, code)) continue;
    for (fs::path up = parent;; up = up.parent_path()) {
      if (SameFile(up, input)) {
        error = "Error, " + quoted + " lies inside the input directory \"" + input +
                "\"; write the patch elsewhere!";
        return false;
      }
      if (up == up.parent_path()) break;
    }
  }
  if (fs::exists(status) && !force) {
    error = "Error, " + quoted + " already exists; give -f to replace it!";
    return false;
  }
  return true;
}

bool WritePatchFile(const std::string& path, std::span<const std::uint8_t> bytes, bool replace,
                    bool executable, std::string& error) {
  const std::string failed = "Error, can't write patch \"" + path + "\"!";
  std::error_code code;
  // An absolute name: the platform layer never reads a drive into it.
  const std::string target = fs::absolute(path, code).string();
  if (code) {
    error = failed;
    return false;
  }
  OsCatchInterrupts();
  TOsHandle handle = NoHandle;
  std::string partial;
  if (!CreatePartial(target, handle, partial)) {
    error = failed;
    return false;
  }
  const auto giveUp = [&](const std::string& message) {
    if (handle != NoHandle) (void)OsClose(handle);  // the file goes anyway
    (void)OsDelete(partial);                        // nothing else has the name
    error = message;
    return false;
  };
  const std::string interrupted = "Interrupted; no patch written.";
  for (std::size_t done = 0; done < bytes.size();) {
    if (OsInterruptPending()) return giveUp(interrupted);
    const std::int32_t piece =
        static_cast<std::int32_t>(std::min<std::size_t>(bytes.size() - done, WritePiece));
    std::int32_t written = 0;
    if (OsWrite(handle, bytes.data() + done, piece, written) != 0 || written != piece) {
      return giveUp(failed);
    }
    done += static_cast<std::size_t>(piece);
  }
  if (OsTakeOwnerAndMode("", handle) != 0 || OsSyncFiles({partial}) != 0) return giveUp(failed);
  const int closed = OsClose(handle);
  handle = NoHandle;
  if (closed != 0) return giveUp(failed);
  if (executable) {
    fs::permissions(partial, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add, code);
    if (code) return giveUp(failed);
  }
  if (OsInterruptPending()) return giveUp(interrupted);
  if ((replace ? OsReplace(partial, target) : OsRename(partial, target)) != 0) {
    const bool taken = !replace && OsPathKind(target) != TOsPathKind::Missing;
    return giveUp(taken ? "Error, \"" + path + "\" already exists; give -f to replace it!"
                        : failed);
  }
  return true;
}

}  // namespace mendrix
