// What a patch must carry: the files of the new version that differ from the
// old versions, each with the chain of older versions it can be rebuilt from.
//
// A chain lists the sources of an entry's variants, oldest first. Variant k
// turns its source into the content of source k + 1 (the new file for the
// last), and the applier starts at the first variant whose source file it
// finds with the right size and checksum. So every distinct older content
// appears once; when the same content lies under several names (a file
// renamed between old versions), all but the last of its variants turn it
// into itself, so that each one's output is the next one's source.
#ifndef MENDRIX_GENERATOR_TREE_DIFF_H_
#define MENDRIX_GENERATOR_TREE_DIFF_H_

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "generator/file_digest.h"

namespace mendrix {

// Longest name: a short string's length byte.
constexpr std::size_t MaxNameLength = 255;

struct TTreeFile {
  std::filesystem::path Path;  // where it is on disk
  TFileDigest Digest;
  std::uint32_t DosTime = 0;
};

// The regular files of a directory tree by name (relative, with backslashes),
// and what a patch can't carry.
struct TTree {
  std::map<std::string, TTreeFile> Files;
  std::vector<std::string> EmptyDirectories;
  std::vector<std::string> Unsupported;  // links, special files, names with \ or :
  // Files and directories whose names Mendrix refuses in a patch (as its
  // entry-table reader does), left out with all they hold; a directory's
  // name ends in a backslash.
  std::vector<std::string> Refused;
};

// Reads a whole tree and digests every file. False (with error set) when it
// can't be read or holds a file the format can't hold (a name over 255
// bytes, a file of 2 GiB or more).
bool ScanTree(const std::filesystem::path& root, TTree& tree, std::string& error);

// One source of a variant: the file Name in old version OldIndex.
struct TChainSource {
  std::size_t OldIndex = 0;
  std::string Name;
  TFileDigest Digest;
};

// The chain for a file whose version in old version i is sources[i]
// (oldest first), each with its own name; new content and entryName are the
// result. Contents equal to the result under entryName need no variant.
std::vector<TChainSource> BuildChain(const std::vector<TChainSource>& sources,
                                     const TFileDigest& result, const std::string& entryName);

struct TEntryPlan {
  std::string Name;
  bool Embedded = false;            // carried whole
  std::vector<TChainSource> Chain;  // file entries: the variants' sources
};

struct TTreePlan {
  std::vector<TEntryPlan> Entries;
  std::vector<std::string> Warnings;  // what the patch can't express
};

// The entries that bring any of the old trees to the new one. A file of the
// new tree absent from an old tree is looked for there under another name
// that the new tree no longer has (same content as one of its versions, or
// the only such file with the same file name); a file that can't be found in
// every old tree is embedded.
TTreePlan PlanTree(const std::vector<TTree>& olds, const TTree& newTree);

}  // namespace mendrix

#endif  // MENDRIX_GENERATOR_TREE_DIFF_H_
