// Helpers of the robustness tests: a scratch layout with the fixed old file
// or tree and a private temp directory, whole runs of the program on it,
// and snapshots of what a run left.
#ifndef MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_
#define MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
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
      snapshot[name] = ReadFileBytes(it->path().string());
    }
    return snapshot;
  }

  // Names left in the temp directory (work files).
  std::vector<std::string> TempLeftovers() const { return ListDirectory(TempPath()); }

  // Runs the program on the target with the patch, standard input at its
  // end; extra environment as given.
  TRunResult Run(const std::vector<std::pair<std::string, std::string>>& environment = {},
                 int timeoutSeconds = 30) const {
    TRunRequest request;
    request.Arguments = {PatchPath(), TargetPath()};
    request.WorkDir = Path();
    request.Environment = environment;
    request.Environment.emplace_back("TMPDIR", TempPath());
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
