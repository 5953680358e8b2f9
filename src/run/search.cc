// The target search.
//
// A directory's own candidates are all offered before any subdirectory is
// entered; subdirectories are then entered in listing order, depth first,
// never through a link to a directory (which could lead back up). The path
// being searched is shown on standard output as it grows, one character per
// write, and erased again on the way back.
#include "run/search.h"

#include <cstddef>
#include <string>
#include <string_view>

#include "console/console.h"
#include "install/entries.h"
#include "platform/platform.h"

namespace mendrix {

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

void WriteEach(std::string_view text, std::size_t times) {
  for (std::size_t i = 0; i < times; ++i) OutWrite(text);
}

// A quiet test of paths, then the user's yes or no.
bool TryCandidate(TPatchContext& context, TWorkState& work, const TRunPaths& paths,
                  std::string_view shownAs) {
  return ProcessEntries(context, work, paths, TPass::QuietTest) && ConfirmCandidate(shownAs);
}

// The candidate pass over path's own entries.
bool OfferEntries(TPatchContext& context, TWorkState& work, TRunPaths& paths,
                  const std::string& path) {
  TOsDirEntry entry;
  const TOsHandle find = OsFindFirst(path, entry);
  if (find == NoHandle) return false;
  bool found = false;
  do {
    if (IsDotEntry(entry.Name)) continue;
    paths.OldPath = path + entry.Name;
    paths.NewPath = paths.OldPath;
    // Tree patches take directories, single-file patches everything else.
    if (entry.IsDirectory != context.TreeMode) continue;
    found = TryCandidate(context, work, paths, paths.OldPath);
  } while (!found && OsFindNext(find, entry));
  OsFindClose(find);
  return found;
}

bool DescendInto(TPatchContext& context, TWorkState& work, TRunPaths& paths,
                 const std::string& path, int depth) {
  TOsDirEntry entry;
  const TOsHandle find = OsFindFirst(path, entry);
  if (find == NoHandle) return false;
  bool found = false;
  do {
    if (IsDotEntry(entry.Name) || !entry.IsDirectory || entry.IsDirectoryLink) continue;
    found = SearchTargets(context, work, paths, path + entry.Name + "\\", depth + 1,
                          static_cast<int>(path.size()));
  } while (!found && OsFindNext(find, entry));
  OsFindClose(find);
  return found;
}

}  // namespace

bool SearchTargets(TPatchContext& context, TWorkState& work, TRunPaths& paths,
                   const std::string& path, int depth, int shownFrom) {
  const std::size_t shown = shownFrom > 0 ? static_cast<std::size_t>(shownFrom) : 0;
  for (std::size_t i = shown; i < path.size(); ++i) OutWrite(std::string_view(path).substr(i, 1));

  bool found = OfferEntries(context, work, paths, path);
  if (!found && depth > 0) found = DescendInto(context, work, paths, path, depth);
  if (!found && depth <= 0 && context.TreeMode) {
    paths.OldPath = ".";
    paths.NewPath = ".";
    found = TryCandidate(context, work, paths, "Current directory.");
  }

  if (path.size() > shown) {
    const std::size_t width = path.size() - shown;
    WriteEach("\b", width);
    WriteEach(" ", width);
    WriteEach("\b", width);
  }
  return found;
}

}  // namespace mendrix
