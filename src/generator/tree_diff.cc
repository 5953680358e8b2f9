#include "generator/tree_diff.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "generator/dos_time.h"
#include "patchfile/container.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

using TNamedFile = std::pair<const std::string, TTreeFile>;

std::string PatchName(const fs::path& relative) {
  std::string name = relative.generic_string();
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string BaseName(const std::string& name) {
  const std::size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// What a patch makes of an item met in a tree.
enum class TItemKind { File, Directory, Unsupported, Refused, RefusedDirectory };

TItemKind ClassifyItem(const fs::directory_entry& item, const fs::path& relative,
                       const std::string& name) {
  std::error_code code;
  const fs::file_status status = item.symlink_status(code);
  if (fs::is_symlink(status)) return TItemKind::Unsupported;  // never followed
  if (fs::is_directory(status)) {
    // A name Mendrix would refuse, e.g. "..." (that Windows reads as ".."):
    // nothing below it can travel either.
    return IsContainedName(name) ? TItemKind::Directory : TItemKind::RefusedDirectory;
  }
  // Mendrix reads a backslash as a separator and refuses a name with a
  // drive colon, so such names can't travel in a patch.
  if (!fs::is_regular_file(status) ||
      relative.generic_string().find_first_of("\\:") != std::string::npos) {
    return TItemKind::Unsupported;
  }
  return IsContainedName(name) ? TItemKind::File : TItemKind::Refused;
}

// Digests a file of the tree and marks the directories above it as filled.
bool AddFile(const fs::directory_entry& item, const fs::path& relative, const std::string& name,
             TTree& tree, std::set<std::string>& filled, std::string& error) {
  TTreeFile file;
  file.Path = item.path();
  if (!DigestFile(item.path(), file.Digest, error)) return false;
  std::error_code code;
  file.DosTime = FileDosTime(item.last_write_time(code));
  tree.Files[name] = file;
  for (fs::path up = relative.parent_path(); !up.empty(); up = up.parent_path()) {
    if (!filled.insert(PatchName(up)).second) break;
  }
  return true;
}

// Per old tree: the files the new tree no longer has, which no entry
// replaces, so they may serve as sources under their old names. gone
// receives their names.
std::vector<std::vector<const TNamedFile*>> LeftOverFiles(const std::vector<TTree>& olds,
                                                          const TTree& newTree,
                                                          std::set<std::string>& gone) {
  std::vector<std::vector<const TNamedFile*>> leftOver(olds.size());
  for (std::size_t i = 0; i < olds.size(); ++i) {
    for (const TNamedFile& file : olds[i].Files) {
      if (!newTree.Files.contains(file.first)) {
        leftOver[i].push_back(&file);
        gone.insert(file.first);
      }
    }
  }
  return leftOver;
}

// The sources of one new file, one per old tree where Found says so.
struct TFoundSources {
  std::vector<TChainSource> Sources;
  std::vector<bool> Found;

  // Whether digest is the new content or that of a version found so far.
  bool Known(const TFileDigest& digest, const TFileDigest& result) const {
    if (digest == result) return true;
    for (std::size_t j = 0; j < Sources.size(); ++j) {
      if (Found[j] && Sources[j].Digest == digest) return true;
    }
    return false;
  }
};

// The left-over file a renamed file was: first one with the content of some
// version, else the only one of the same file name. Null when there is none.
const TNamedFile* RenamedFrom(const std::vector<const TNamedFile*>& leftOver,
                              const std::string& name, const TFileDigest& result,
                              const TFoundSources& found) {
  for (const TNamedFile* file : leftOver) {
    if (found.Known(file->second.Digest, result)) return file;
  }
  const TNamedFile* pick = nullptr;
  int sameName = 0;
  for (const TNamedFile* file : leftOver) {
    if (BaseName(file->first) == BaseName(name)) {
      pick = file;
      ++sameName;
    }
  }
  return sameName == 1 ? pick : nullptr;
}

// The new file name's sources: under its own name, or else renamed.
TFoundSources FindSources(const std::vector<TTree>& olds,
                          const std::vector<std::vector<const TNamedFile*>>& leftOver,
                          const std::string& name, const TFileDigest& result) {
  TFoundSources found{std::vector<TChainSource>(olds.size()),
                      std::vector<bool>(olds.size(), false)};
  for (std::size_t i = 0; i < olds.size(); ++i) {
    const auto old = olds[i].Files.find(name);
    if (old == olds[i].Files.end()) continue;
    found.Sources[i] = {i, name, old->second.Digest};
    found.Found[i] = true;
  }
  for (std::size_t i = 0; i < olds.size(); ++i) {
    if (found.Found[i]) continue;
    const TNamedFile* pick = RenamedFrom(leftOver[i], name, result, found);
    if (pick != nullptr) {
      found.Sources[i] = {i, pick->first, pick->second.Digest};
      found.Found[i] = true;
    }
  }
  return found;
}

void AddWarnings(const std::set<std::string>& gone, const TTree& newTree, TTreePlan& plan) {
  for (const std::string& name : gone) {
    plan.Warnings.push_back("\"" + name +
                            "\" is not in the new version; a patch can't delete it, it stays.");
  }
  for (const std::string& name : newTree.EmptyDirectories) {
    plan.Warnings.push_back("empty directory \"" + name + "\" can't be carried by a patch.");
  }
  for (const std::string& name : newTree.Refused) {
    plan.Warnings.push_back("\"" + name +
                            "\": Mendrix refuses this name in a patch (a part of only dots and "
                            "spaces, or a colon); left out" +
                            (name.ends_with('\\') ? " with everything in it." : "."));
  }
  for (const std::string& name : newTree.Unsupported) {
    plan.Warnings.push_back("\"" + name +
                            "\" is a link, a special file or a name with \\ or :; a patch "
                            "can't carry it, left out.");
  }
}

}  // namespace

bool ScanTree(const fs::path& root, TTree& tree, std::string& error) {
  const std::string unreadable = "Error, can't read directory \"" + root.string() + "\"!";
  std::error_code code;
  fs::recursive_directory_iterator walk(root, code);
  if (code) {
    error = unreadable;
    return false;
  }
  std::set<std::string> directories;
  std::set<std::string> filled;  // directories with a file somewhere below
  for (const fs::recursive_directory_iterator end; walk != end; walk.increment(code)) {
    if (code) {
      error = unreadable;
      return false;
    }
    const fs::path relative = walk->path().lexically_relative(root);
    const std::string name = PatchName(relative);
    if (name.size() > MaxNameLength) {
      error = "Error, the name \"" + name + "\" is longer than 255 bytes, too long for a patch!";
      return false;
    }
    switch (ClassifyItem(*walk, relative, name)) {
      case TItemKind::File:
        if (!AddFile(*walk, relative, name, tree, filled, error)) return false;
        break;
      case TItemKind::Directory:
        directories.insert(name);
        break;
      case TItemKind::Unsupported:
        tree.Unsupported.push_back(name);
        break;
      case TItemKind::Refused:
        tree.Refused.push_back(name);
        break;
      case TItemKind::RefusedDirectory:
        tree.Refused.push_back(name + "\\");
        walk.disable_recursion_pending();
        break;
    }
  }
  for (const std::string& directory : directories) {
    if (!filled.contains(directory)) tree.EmptyDirectories.push_back(directory);
  }
  return true;
}

std::vector<TChainSource> BuildChain(const std::vector<TChainSource>& sources,
                                     const TFileDigest& result, const std::string& entryName) {
  // Distinct older contents, in the order of the last old version that has
  // each, so that the chain runs from the oldest towards the result; the
  // names of each content in the order met.
  struct TContent {
    TFileDigest Digest;
    std::size_t Last = 0;
    std::vector<const TChainSource*> Names;
  };
  const auto named = [](const std::vector<const TChainSource*>& list, const std::string& name) {
    return std::any_of(list.begin(), list.end(),
                       [&](const TChainSource* s) { return s->Name == name; });
  };
  std::vector<TContent> contents;
  std::vector<const TChainSource*> renamedResults;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const TChainSource& source = sources[i];
    if (source.Digest == result) {
      // Already the result: needs a variant only under another name.
      if (source.Name != entryName && !named(renamedResults, source.Name)) {
        renamedResults.push_back(&source);
      }
      continue;
    }
    auto content = std::find_if(contents.begin(), contents.end(),
                                [&](const TContent& c) { return c.Digest == source.Digest; });
    if (content == contents.end()) {
      contents.push_back({source.Digest, i, {}});
      content = contents.end() - 1;
    }
    content->Last = i;
    if (!named(content->Names, source.Name)) content->Names.push_back(&source);
  }
  std::stable_sort(contents.begin(), contents.end(),
                   [](const TContent& a, const TContent& b) { return a.Last < b.Last; });
  std::vector<TChainSource> chain;
  for (const TContent& content : contents) {
    for (const TChainSource* source : content.Names) chain.push_back(*source);
  }
  for (const TChainSource* source : renamedResults) chain.push_back(*source);
  return chain;
}

TTreePlan PlanTree(const std::vector<TTree>& olds, const TTree& newTree) {
  TTreePlan plan;
  std::set<std::string> gone;
  const std::vector<std::vector<const TNamedFile*>> leftOver = LeftOverFiles(olds, newTree, gone);
  for (const auto& [name, newFile] : newTree.Files) {
    const TFoundSources found = FindSources(olds, leftOver, name, newFile.Digest);
    TEntryPlan entry;
    entry.Name = name;
    if (std::find(found.Found.begin(), found.Found.end(), false) != found.Found.end()) {
      entry.Embedded = true;
      plan.Entries.push_back(std::move(entry));
      continue;
    }
    entry.Chain = BuildChain(found.Sources, newFile.Digest, name);
    if (!entry.Chain.empty()) plan.Entries.push_back(std::move(entry));
  }
  AddWarnings(gone, newTree, plan);
  return plan;
}

}  // namespace mendrix
