#include "generator/tree_diff.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <system_error>

#include "checksum/checksum.h"
#include "generator/dos_time.h"
#include "patchfile/container.h"

namespace mendrix {

namespace fs = std::filesystem;

namespace {

std::string PatchName(const fs::path& relative) {
  std::string name = relative.generic_string();
  std::replace(name.begin(), name.end(), '/', '\\');
  return name;
}

std::string BaseName(const std::string& name) {
  const std::size_t slash = name.rfind('\\');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

namespace {

// Size, checksum and FNV-1a hash, fed piece by piece.
struct TDigester {
  TFileDigest Digest{0, CrcStart, 0xCBF29CE484222325u};
  void Feed(const std::uint8_t* bytes, std::size_t length) {
    Digest.Size += length;
    Digest.Crc = CrcUpdate(Digest.Crc, bytes, static_cast<std::int32_t>(length));
    std::uint64_t hash = Digest.Hash;
    for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3u;
    Digest.Hash = hash;
  }
};

}  // namespace

TFileDigest DigestOf(const std::vector<std::uint8_t>& bytes) {
  TDigester digester;
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t piece = std::min<std::size_t>(bytes.size() - done, 1 << 20);
    digester.Feed(bytes.data() + done, piece);
    done += piece;
  }
  return digester.Digest;
}

bool DigestFile(const fs::path& path, TFileDigest& digest, std::string& error) {
  std::error_code code;
  const std::uintmax_t size = fs::file_size(path, code);
  if (code) {
    error = "Error, can't read \"" + path.string() + "\"!";
    return false;
  }
  if (size > MaxFileSize) {
    error = "Error, \"" + path.string() + "\" is 2 GiB or larger, too large for a patch!";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> buffer(1 << 16);
  TDigester digester;
  while (in) {
    in.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    digester.Feed(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (!in.eof() || digester.Digest.Size != size) {
    error = "Error, can't read \"" + path.string() + "\"!";
    return false;
  }
  digest = digester.Digest;
  return true;
}

bool ReadWholeFile(const fs::path& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  std::error_code code;
  const std::uintmax_t size = fs::file_size(path, code);
  if (code) {
    error = "Error, can't read \"" + path.string() + "\"!";
    return false;
  }
  if (size > MaxFileSize) {
    error = "Error, \"" + path.string() + "\" is 2 GiB or larger, too large for a patch!";
    return false;
  }
  bytes.assign(static_cast<std::size_t>(size), 0);
  std::ifstream in(path, std::ios::binary);
  if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)) ||
      in.peek() != std::ifstream::traits_type::eof()) {
    error = "Error, can't read \"" + path.string() + "\"!";
    return false;
  }
  return true;
}

bool ScanTree(const fs::path& root, TTree& tree, std::string& error) {
  std::error_code code;
  fs::recursive_directory_iterator walk(root, code);
  if (code) {
    error = "Error, can't read directory \"" + root.string() + "\"!";
    return false;
  }
  std::set<std::string> directories;
  std::set<std::string> filled;  // directories with a file somewhere below
  for (const fs::recursive_directory_iterator end; walk != end; walk.increment(code)) {
    if (code) {
      error = "Error, can't read directory \"" + root.string() + "\"!";
      return false;
    }
    const fs::directory_entry& item = *walk;
    const fs::path relative = item.path().lexically_relative(root);
    const std::string name = PatchName(relative);
    if (name.size() > MaxNameLength) {
      error = "Error, the name \"" + name + "\" is longer than 255 bytes, too long for a patch!";
      return false;
    }
    const fs::file_status status = item.symlink_status(code);
    if (fs::is_symlink(status)) {
      tree.Unsupported.push_back(name);
      continue;  // never followed
    }
    if (fs::is_directory(status)) {
      // A name Mendrix would refuse, e.g. "..." (that Windows reads as
      // ".."): nothing below it can travel either.
      if (!IsContainedName(name)) {
        tree.Refused.push_back(name + "\\");
        walk.disable_recursion_pending();
        continue;
      }
      directories.insert(name);
      continue;
    }
    // Mendrix reads a backslash as a separator and refuses a name with a
    // drive colon, so such names can't travel in a patch.
    if (!fs::is_regular_file(status) ||
        relative.generic_string().find_first_of("\\:") != std::string::npos) {
      tree.Unsupported.push_back(name);
      continue;
    }
    if (!IsContainedName(name)) {
      tree.Refused.push_back(name);
      continue;
    }
    TTreeFile file;
    file.Path = item.path();
    if (!DigestFile(item.path(), file.Digest, error)) return false;
    file.DosTime = FileDosTime(item.last_write_time(code));
    tree.Files[name] = file;
    for (fs::path up = relative.parent_path(); !up.empty(); up = up.parent_path()) {
      if (!filled.insert(PatchName(up)).second) break;
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
  std::vector<TContent> contents;
  std::vector<const TChainSource*> renamedResults;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    const TChainSource& source = sources[i];
    if (source.Digest == result) {
      // Already the result: needs a variant only under another name.
      if (source.Name != entryName &&
          std::none_of(renamedResults.begin(), renamedResults.end(),
                       [&](const TChainSource* s) { return s->Name == source.Name; })) {
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
    if (std::none_of(content->Names.begin(), content->Names.end(),
                     [&](const TChainSource* s) { return s->Name == source.Name; })) {
      content->Names.push_back(&source);
    }
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
  // Per old tree: the files the new tree no longer has, which no entry
  // replaces, so they may serve as sources under their old names.
  std::vector<std::vector<const std::pair<const std::string, TTreeFile>*>> leftOver(olds.size());
  std::set<std::string> gone;
  for (std::size_t i = 0; i < olds.size(); ++i) {
    for (const auto& file : olds[i].Files) {
      if (!newTree.Files.contains(file.first)) {
        leftOver[i].push_back(&file);
        gone.insert(file.first);
      }
    }
  }
  for (const auto& [name, newFile] : newTree.Files) {
    // A named reference: lambdas can't capture structured bindings in
    // every compiler the program is built with (clang 14).
    const TFileDigest& newDigest = newFile.Digest;
    std::vector<TChainSource> sources(olds.size());
    std::vector<bool> found(olds.size(), false);
    for (std::size_t i = 0; i < olds.size(); ++i) {
      const auto old = olds[i].Files.find(name);
      if (old == olds[i].Files.end()) continue;
      sources[i] = {i, name, old->second.Digest};
      found[i] = true;
    }
    for (std::size_t i = 0; i < olds.size(); ++i) {
      if (found[i]) continue;
      // Renamed: first a left-over file with the content of some version,
      // else the only left-over file of the same file name.
      const auto known = [&](const TFileDigest& digest) {
        if (digest == newDigest) return true;
        for (std::size_t j = 0; j < olds.size(); ++j) {
          if (found[j] && sources[j].Digest == digest) return true;
        }
        return false;
      };
      const std::pair<const std::string, TTreeFile>* pick = nullptr;
      for (const auto* file : leftOver[i]) {
        if (known(file->second.Digest)) {
          pick = file;
          break;
        }
      }
      if (pick == nullptr) {
        int sameName = 0;
        for (const auto* file : leftOver[i]) {
          if (BaseName(file->first) == BaseName(name)) {
            pick = file;
            ++sameName;
          }
        }
        if (sameName != 1) pick = nullptr;
      }
      if (pick != nullptr) {
        sources[i] = {i, pick->first, pick->second.Digest};
        found[i] = true;
      }
    }
    TEntryPlan entry;
    entry.Name = name;
    if (std::find(found.begin(), found.end(), false) != found.end()) {
      entry.Embedded = true;
      plan.Entries.push_back(std::move(entry));
      continue;
    }
    entry.Chain = BuildChain(sources, newFile.Digest, name);
    if (!entry.Chain.empty()) plan.Entries.push_back(std::move(entry));
  }
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
  return plan;
}

}  // namespace mendrix
