// Helpers of the robustness tests: a scratch layout with the fixed old file
// or tree and a private temp directory, whole runs of the program on it,
// and snapshots of what a run left.
#ifndef MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_
#define MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/robust_patches.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {

// Files below a target by name (backslash-separated, as the patch names
// them); a single-file target is the one name "".
using TSnapshot = std::map<std::string, TByteVector>;

inline const std::vector<TRobustPatch>& RobustPatches() {
  static const std::vector<TRobustPatch> patches = [] {
    std::vector<TRobustPatch> made;
    std::string error;
    if (!MakeRobustPatches(made, error)) ADD_FAILURE() << error;
    return made;
  }();
  return patches;
}

inline const TRobustPatch& RobustPatch(const std::string& name) {
  for (const TRobustPatch& patch : RobustPatches()) {
    if (patch.Name == name) return patch;
  }
  ADD_FAILURE() << "no robust patch " << name;
  static const TRobustPatch none;
  return none;
}

inline TSnapshot ToSnapshot(const std::vector<TNamedFile>& files) {
  TSnapshot snapshot;
  for (const TNamedFile& file : files) snapshot[file.Name] = file.Bytes;
  return snapshot;
}

inline TSnapshot FixedSnapshot(bool tree) {
  return tree ? ToSnapshot(FixedOldTree()) : TSnapshot{{"", FixedOldFile()}};
}

inline bool HasSanitizerReport(const std::string& err) {
  return err.find("ERROR: AddressSanitizer") != std::string::npos ||
         err.find("ERROR: LeakSanitizer") != std::string::npos ||
         err.find("runtime error:") != std::string::npos;
}

// True for the name of an install copy or a work file: ".DWX" or "DWX" and
// a decimal number at the end.
inline bool IsWorkFileName(const std::string& name) {
  const std::size_t at = name.rfind("DWX");
  if (at == std::string::npos || at + 3 == name.size()) return false;
  if (at != 0 && name[at - 1] != '.' && name[at - 1] != '\\') return false;
  for (std::size_t i = at + 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

using TEnvironment = std::vector<std::pair<std::string, std::string>>;

// environment with the leak check of a sanitizer build turned off: it costs
// more than the rest of a short run, and the runs of the seed patches, the
// regression inputs and the fault injection keep it.
inline TEnvironment WithoutLeakCheck(TEnvironment environment) {
  std::string asan;
  if (const char* inherited = std::getenv("ASAN_OPTIONS")) asan = inherited;
  for (const auto& [name, value] : environment) {
    if (name == "ASAN_OPTIONS") asan = value;
  }
  environment.emplace_back("ASAN_OPTIONS", asan.empty() ? "detect_leaks=0" : asan + ":detect_leaks=0");
  return environment;
}

// A scratch directory: tmp/ is the run's TMPDIR, old.bin or tree/ the target
// (OldPath and NewPath), patch.pat the patch.
class TScratch {
 public:
  explicit TScratch(bool tree) : Tree_(tree) {
    std::filesystem::create_directories(TempPath());
    Reset();
  }

  bool Tree() const { return Tree_; }
  std::string TempPath() const { return Dir_.File("tmp"); }
  std::string TargetPath() const { return Dir_.File(Tree_ ? "tree" : "old.bin"); }
  std::string PatchPath() const { return Dir_.File("patch.pat"); }
  const std::string& Path() const { return Dir_.Path(); }

  // The fixed target again, and nothing else in the temp directory.
  void Reset() const {
    std::error_code error;
    std::filesystem::remove_all(TargetPath(), error);
    for (const auto& entry : std::filesystem::directory_iterator(TempPath(), error)) {
      std::filesystem::remove_all(entry.path(), error);
    }
    if (!Tree_) {
      WriteFileBytes(TargetPath(), FixedOldFile());
      return;
    }
    for (const TNamedFile& file : FixedOldTree()) {
      WriteFileBytes(TargetPath() + "/" + SystemName(file.Name), file.Bytes);
    }
  }

  TSnapshot Snapshot() const {
    TSnapshot snapshot;
    std::error_code error;
    if (!Tree_) {
      if (std::filesystem::is_regular_file(TargetPath(), error)) {
        snapshot[""] = ReadFileBytes(TargetPath());
      }
      return snapshot;
    }
    const std::filesystem::path root(TargetPath());
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (!it->is_regular_file()) continue;
      std::string name = std::filesystem::relative(it->path(), root).string();
      for (char& c : name) {
        if (c == '/') c = '\\';
      }
      // Read through the path itself: on Windows its narrow form is UTF-8,
      // not the code page the file was named in.
      std::ifstream in(it->path(), std::ios::binary);
      snapshot[name].assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return snapshot;
  }

  // Names left in the temp directory (work files).
  std::vector<std::string> TempLeftovers() const { return ListDirectory(TempPath()); }

  // Install copies left beside a single-file target (a tree target's show
  // in its snapshot).
  std::vector<std::string> BesideLeftovers() const {
    std::vector<std::string> names;
    if (Tree_) return names;
    for (const std::string& name : ListDirectory(Path())) {
      if (name.rfind("old.bin.", 0) == 0 && IsWorkFileName(name)) names.push_back(name);
    }
    return names;
  }

  // Runs the program on the target with the patch, standard input at its
  // end; extra environment as given.
  TRunResult Run(const TEnvironment& environment = {}, int timeoutSeconds = 30) const {
    TRunRequest request;
    request.Arguments = {PatchPath(), TargetPath()};
    request.WorkDir = Path();
    request.Environment = environment;
    // The temp directory on POSIX, and on Windows.
    request.Environment.emplace_back("TMPDIR", TempPath());
    request.Environment.emplace_back("TMP", TempPath());
    request.Environment.emplace_back("TEMP", TempPath());
    request.TimeoutSeconds = timeoutSeconds;
    return RunProgram(request);
  }

  void WritePatch(const TByteVector& bytes) const { WriteFileBytes(PatchPath(), bytes); }

  static std::string SystemName(std::string name) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    return name;
  }

 private:
  bool Tree_;
  TTempDir Dir_;
};

// What is wrong with the files a run left below a tree target (empty when
// nothing): every target (a file before or after) must be wholly old or
// wholly new. Other files may be backups or results under a changed name,
// copies of old or new files; install copies (.DWX<n>) only where
// leftoverAllowed says so.
template <typename TAllowed>
std::string TargetsProblem(const TSnapshot& before, const TSnapshot& after, const TSnapshot& now,
                           TAllowed leftoverAllowed) {
  std::set<std::string> targets;
  for (const auto& [name, bytes] : before) targets.insert(name);
  for (const auto& [name, bytes] : after) {
    if (before.count(name) == 0 || before.at(name) != bytes) targets.insert(name);
  }
  for (const std::string& name : targets) {
    auto actual = now.find(name);
    auto old = before.find(name);
    auto fresh = after.find(name);
    const bool wholeOld = old == before.end() ? actual == now.end()
                                              : actual != now.end() && actual->second == old->second;
    const bool wholeNew =
        fresh != after.end() && actual != now.end() && actual->second == fresh->second;
    if (!wholeOld && !wholeNew) return "target neither old nor new: " + name;
  }
  for (const auto& [name, bytes] : now) {
    if (targets.count(name) != 0) continue;
    if (IsWorkFileName(name)) {
      if (leftoverAllowed(name)) continue;
      return "install copy left: " + name;
    }
    bool known = false;
    for (const auto& [oldName, oldBytes] : before) known = known || oldBytes == bytes;
    for (const auto& [newName, newBytes] : after) known = known || newBytes == bytes;
    if (!known) return "unexpected file: " + name;
  }
  return "";
}

// The fault shim (tests/support/fault_shim.cpp) counts the program's
// file-changing operations; at operation At it makes it fail with Errno or
// kills the process.
struct TFaultPlan {
  long At = 0;  // 0: none, only count
  bool Kill = false;
  int Errno = 28;  // ENOSPC
  std::string Always;  // operations that always fail, uncounted ("link": no hard links)
};

struct TCountedOp {
  long Number = 0;
  std::string Kind;  // create, write, close, rename, link, unlink, mkdir
  std::string Path;  // "-" for writes and closes
};

inline TEnvironment FaultEnvironment(
    const std::string& shim, const std::string& log, const TFaultPlan& plan) {
  std::string asan = "verify_asan_link_order=0";
  if (const char* inherited = std::getenv("ASAN_OPTIONS")) asan = std::string(inherited) + ":" + asan;
  return {{"LD_PRELOAD", shim},
          {"MENDRIX_FAULT_LOG", log},
          {"MENDRIX_FAULT_AT", std::to_string(plan.At)},
          {"MENDRIX_FAULT_ACTION", plan.Kill ? "kill" : "fail"},
          {"MENDRIX_FAULT_ERRNO", std::to_string(plan.Errno)},
          {"MENDRIX_FAULT_ALWAYS", plan.Always},
          {"ASAN_OPTIONS", asan}};
}

inline std::vector<TCountedOp> ReadOpLog(const std::string& log) {
  std::vector<TCountedOp> ops;
  const std::string text = ReadFileText(log);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) continue;
    ops.push_back({std::stol(line.substr(0, first)), line.substr(first + 1, second - first - 1),
                   line.substr(second + 1)});
  }
  return ops;
}

// The last message of a failed run: the last line of standard error that
// holds text.
inline std::string LastMessage(const std::string& err) {
  std::size_t end = err.find_last_not_of("\r\n");
  if (end == std::string::npos) return "";
  std::size_t start = err.find_last_of('\n', end);
  start = start == std::string::npos ? 0 : start + 1;
  return err.substr(start, end - start + 1);
}

// What a run did, in a line for failure messages.
inline std::string Describe(const TRunResult& result) {
  std::string text = "exit " + std::to_string(result.ExitCode);
  if (result.Signal != 0) text += ", signal " + std::to_string(result.Signal);
  if (result.TimedOut) text += ", timed out";
  const std::size_t tail = result.Err.size() > 600 ? result.Err.size() - 600 : 0;
  return text + "; stderr: " + result.Err.substr(tail);
}

}  // namespace mendrix::test

#endif  // MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_
