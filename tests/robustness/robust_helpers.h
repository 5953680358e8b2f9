// Helpers of the robustness tests: a scratch layout with the fixed old file
// or tree and a private temp directory, whole runs of the program on it,
// and snapshots of what a run left (on POSIX also with permissions, times
// and file identities).
#ifndef MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_
#define MENDRIX_TESTS_ROBUSTNESS_ROBUST_HELPERS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

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

// A file or directory below a target: what a run must leave alone unless it
// replaces it.
struct TItemState {
  bool Directory = false;
  TByteVector Bytes;
  unsigned Mode = 0;           // permission bits
  std::int64_t WriteTime = 0;  // last write, nanoseconds since 1970
  std::uint64_t Inode = 0;
  // The name that had this file (inode) before the run; empty for a file
  // the run made. A rollback that copies the old bytes back is caught here.
  std::string Was;
};

// By name as in TSnapshot; a tree target's own directory is ".".
using TTreeState = std::map<std::string, TItemState>;

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
    } else {
      for (const TNamedFile& file : FixedOldTree()) {
        WriteFileBytes(TargetPath() + "/" + SystemName(file.Name), file.Bytes);
      }
    }
#ifndef _WIN32
    FixMetadata();
    Fixed_ = Capture(nullptr);
#endif
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

#ifndef _WIN32
  // Everything below the fixed target as the last Reset made it; each item
  // "was" itself. The same after every Reset but for the inode numbers.
  const TTreeState& FixedState() const { return Fixed_; }

  // Everything below the target now, with permissions, times and
  // identities: each item "was" the item of the fixed target with its inode.
  TTreeState State() const { return Capture(&Fixed_); }

  // The directories below the target (as named in a TTreeState) in which a
  // name was made or removed at one of paths: the system records that in
  // their last-write times.
  std::set<std::string> NamedIn(const std::vector<std::string>& paths) const {
    std::set<std::string> directories;
    const std::string root = TargetPath();
    for (const std::string& path : paths) {
      const std::size_t slash = path.rfind('/');
      if (slash == std::string::npos || path.compare(0, root.size(), root) != 0) continue;
      if (slash == root.size()) {
        directories.insert(".");
      } else if (slash > root.size() && path[root.size()] == '/') {
        std::string name = path.substr(root.size() + 1, slash - root.size() - 1);
        for (char& c : name) {
          if (c == '/') c = '\\';
        }
        directories.insert(name);
      }
    }
    return directories;
  }
#endif

  static std::string SystemName(std::string name) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    return name;
  }

 private:
#ifndef _WIN32
  // Every name below a tree target, backslash-separated.
  std::vector<std::string> TreeNames() const {
    std::vector<std::string> names;
    std::error_code error;
    const std::filesystem::path root(TargetPath());
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      std::string name = std::filesystem::relative(it->path(), root).string();
      for (char& c : name) {
        if (c == '/') c = '\\';
      }
      names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TTreeState Capture(const TTreeState* before) const {
    TTreeState state;
    auto add = [&](const std::string& name, const std::string& path) {
      struct stat info;
      if (::lstat(path.c_str(), &info) != 0) return;
      TItemState& item = state[name];
      item.Directory = S_ISDIR(info.st_mode);
      if (!item.Directory) item.Bytes = ReadFileBytes(path);
      item.Mode = info.st_mode & 07777;
      item.WriteTime = std::int64_t{info.st_mtim.tv_sec} * 1000000000 + info.st_mtim.tv_nsec;
      item.Inode = info.st_ino;
      item.Was = name;
      if (before == nullptr) return;
      item.Was.clear();
      for (const auto& [old, oldItem] : *before) {
        if (oldItem.Inode == item.Inode) item.Was = old;
      }
    };
    if (!Tree_) {
      add("", TargetPath());
      return state;
    }
    add(".", TargetPath());
    for (const std::string& name : TreeNames()) add(name, TargetPath() + "/" + SystemName(name));
    return state;
  }

  // Gives every file and directory of the fixed target permissions of its
  // own and a last-write time in the past with nanoseconds, so that a copy
  // or a rewrite made in place of a file shows.
  void FixMetadata() const {
    static const unsigned fileModes[] = {0640, 0604, 0660, 0644};
    std::vector<std::string> names;
    if (Tree_) names = TreeNames();
    names.emplace_back();
    std::int64_t seconds = 1300000000;  // March 2011
    std::size_t files = 0;
    for (const std::string& name : names) {
      const std::string path = name.empty() ? TargetPath() : TargetPath() + "/" + SystemName(name);
      const bool directory = std::filesystem::is_directory(path);
      (void)::chmod(path.c_str(), directory ? (name.empty() ? 0751 : 0750) : fileModes[files++ % 4]);
      seconds += 86400 + 61;
      const struct timespec times[2] = {{seconds, 0}, {seconds, 123456789}};
      (void)::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
  }
#endif

  bool Tree_;
  TTempDir Dir_;
#ifndef _WIN32
  mutable TTreeState Fixed_;  // set by Reset
#endif
};

#ifndef _WIN32
// What differs between an expected state and the actual one (empty when
// nothing), a few items at most. The last-write times of the directories in
// timesMayDiffer are not compared.
inline std::string StateDifference(const TTreeState& expected, const TTreeState& actual,
                                   const std::set<std::string>& timesMayDiffer = {}) {
  std::string text;
  int count = 0;
  auto note = [&](const std::string& line) {
    if (++count <= 4) text += (text.empty() ? "" : "; ") + line;
  };
  auto octal = [](unsigned mode) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04o", mode);
    return std::string(digits);
  };
  for (const auto& [name, want] : expected) {
    auto found = actual.find(name);
    if (found == actual.end()) {
      note("missing: " + name);
      continue;
    }
    const TItemState& have = found->second;
    if (have.Directory != want.Directory) {
      note(name + ": " + (have.Directory ? "a directory" : "a file"));
      continue;
    }
    if (have.Bytes != want.Bytes) note(name + ": other bytes");
    if (have.Mode != want.Mode) note(name + ": mode " + octal(have.Mode) + ", not " + octal(want.Mode));
    if (have.WriteTime != want.WriteTime && (!have.Directory || timesMayDiffer.count(name) == 0)) {
      note(name + ": last-write time changed");
    }
    if (have.Was != want.Was) {
      note(name + ": " + (have.Was.empty() ? "a new file" : "the file that was " + have.Was) +
           ", not " + (want.Was.empty() ? "a new one" : "the one that was " + want.Was));
    }
  }
  for (const auto& [name, have] : actual) {
    if (expected.count(name) == 0) note("unexpected: " + name);
  }
  if (count > 4) text += "; and " + std::to_string(count - 4) + " more";
  return text;
}

// What is wrong with the state a successful run left (empty when nothing),
// given the state before and the patch's files: exactly the patch's files;
// what it leaves alone unchanged; a backup the very file it keeps, with its
// permissions and date; a result a new file, with the permissions of the
// file it replaces; a directory of the backup folder with the permissions
// of the one it mirrors (the backup folder itself: the target's own).
inline std::string ResultProblem(const TTreeState& before, const TTreeState& now,
                                 const std::vector<TNamedFile>& after) {
  TSnapshot files;
  for (const auto& [name, item] : now) {
    if (!item.Directory) files[name] = item.Bytes;
  }
  if (files != ToSnapshot(after)) return "not the patch's files";
  // A backup: a new name that ends in the name of an old file and holds it.
  std::string backupFolder;
  auto backupOf = [&](const std::string& name, const TItemState& item) -> const TItemState* {
    for (std::size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
      auto old = before.find(name.substr(at + 1));
      if (old != before.end() && !old->second.Directory && old->second.Bytes == item.Bytes) {
        backupFolder = name.substr(0, at);
        return &old->second;
      }
    }
    return nullptr;
  };
  for (const auto& [name, item] : now) {
    if (item.Directory) continue;
    auto old = before.find(name);
    if (old != before.end() && old->second.Bytes == item.Bytes) {
      if (!StateDifference({{name, old->second}}, {{name, item}}).empty()) return "changed: " + name;
    } else if (old != before.end()) {
      if (!item.Was.empty()) return "replaced in place: " + name;
      if (item.Mode != old->second.Mode) return "result without the old permissions: " + name;
    } else if (const TItemState* kept = backupOf(name, item)) {
      if (!StateDifference({{name, *kept}}, {{name, item}}).empty()) {
        return "backup not the old file as it was: " + name;
      }
    } else if (!item.Was.empty()) {
      return "new file made from an old one: " + name;
    }
  }
  for (const auto& [name, item] : now) {
    if (!item.Directory) continue;
    auto old = before.find(name);
    if (old != before.end()) {
      if (old->second.Mode != item.Mode || item.Was != name) return "directory changed: " + name;
      continue;
    }
    if (backupFolder.empty() || name.rfind(backupFolder, 0) != 0) continue;
    const std::string mirrored =
        name == backupFolder ? std::string(".") : name.substr(backupFolder.size() + 1);
    auto model = before.find(mirrored);
    if (model != before.end() && model->second.Mode != item.Mode) {
      return "backup directory " + name + " without the permissions of " + mirrored;
    }
  }
  return "";
}
#endif

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
// file-changing operations; at operation At it makes it fail with Errno,
// kills the process or sends it Signal.
struct TFaultPlan {
  long At = 0;  // 0: none, only count
  bool Kill = false;
  int Signal = 0;  // with At: sent just before the operation, which then goes on
  int Errno = 28;  // ENOSPC
  std::string Always;  // operations that always fail, uncounted ("link": no hard links)
};

struct TCountedOp {
  long Number = 0;
  // create, write, ftruncate, close, rename, link, unlink, mkdir, sync
  std::string Kind;
  std::string Path;  // the file's (for rename and link the new name), or "-"
};

inline TEnvironment FaultEnvironment(
    const std::string& shim, const std::string& log, const TFaultPlan& plan) {
  std::string asan = "verify_asan_link_order=0";
  if (const char* inherited = std::getenv("ASAN_OPTIONS")) asan = std::string(inherited) + ":" + asan;
  return {{"LD_PRELOAD", shim},
          {"MENDRIX_FAULT_LOG", log},
          {"MENDRIX_FAULT_AT", std::to_string(plan.At)},
          {"MENDRIX_FAULT_ACTION", plan.Kill ? "kill" : plan.Signal != 0 ? "signal" : "fail"},
          {"MENDRIX_FAULT_SIGNAL", std::to_string(plan.Signal)},
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

#ifndef _WIN32
// The directories below scratch's target in which the counted operations
// ops made or removed a name.
inline std::set<std::string> DirectoriesWritten(const TScratch& scratch,
                                                const std::vector<TCountedOp>& ops) {
  std::vector<std::string> paths;
  for (const TCountedOp& op : ops) {
    if (op.Kind == "create" || op.Kind == "mkdir" || op.Kind == "link" || op.Kind == "rename" ||
        op.Kind == "unlink") {
      paths.push_back(op.Path);
    }
  }
  return scratch.NamedIn(paths);
}

// The first thing a run left in the temp directory, beside a single-file
// target or below a tree target (an install copy, a kept old file); empty
// when nothing.
inline std::string LeftoverName(const TScratch& scratch, const TTreeState& now) {
  for (const std::string& name : scratch.TempLeftovers()) return "work file " + name;
  for (const std::string& name : scratch.BesideLeftovers()) return "install copy " + name;
  for (const auto& [name, item] : now) {
    if (IsWorkFileName(name)) return "install copy or kept file " + name;
  }
  return "";
}
#endif

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
