// Which entries a tree patch gets, and the order of each entry's variants:
// the applier starts at the first variant whose source it finds and feeds
// each output to the next variant, so a wrong order rebuilds garbage.
#include "generator/tree_diff.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace mendrix::test {
namespace {

TFileDigest Content(const std::string& text) {
  return DigestOf(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::string Describe(const std::vector<TChainSource>& chain) {
  std::string text;
  for (const TChainSource& source : chain) {
    text += std::to_string(source.OldIndex) + ":" + source.Name + " ";
  }
  return text;
}

TEST(BuildChain, OrdersDistinctVersionsTowardsTheResult) {
  struct TCase {
    const char* Name;
    std::vector<std::pair<std::string, std::string>> Olds;  // name, content per old version
    std::string Expected;                                   // old index:name of each variant
  };
  const TCase cases[] = {
      {"one old version", {{"f", "A"}}, "0:f "},
      {"identical in two old versions: one variant", {{"f", "A"}, {"f", "A"}}, "0:f "},
      {"two versions, oldest first", {{"f", "A"}, {"f", "B"}}, "0:f 1:f "},
      {"a version that comes back goes where it was last", {{"f", "A"}, {"f", "B"}, {"f", "A"}},
       "1:f 0:f "},
      {"an old version already new needs no variant", {{"f", "A"}, {"f", "N"}}, "0:f "},
      // The same content under two names: the first variant turns it into
      // itself, so its output is the second variant's source.
      {"renamed between old versions", {{"g", "A"}, {"f", "A"}}, "0:g 1:f "},
      {"the new content under an old name comes last", {{"g", "N"}, {"f", "A"}}, "1:f 0:g "},
      {"every old version already new", {{"f", "N"}, {"f", "N"}}, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<TChainSource> sources;
    for (std::size_t i = 0; i < c.Olds.size(); ++i) {
      sources.push_back({i, c.Olds[i].first, Content(c.Olds[i].second)});
    }
    EXPECT_EQ(Describe(BuildChain(sources, Content("N"), "f")), c.Expected);
  }
}

TTree Tree(const std::vector<std::pair<std::string, std::string>>& files) {
  TTree tree;
  for (const auto& [name, content] : files) tree.Files[name].Digest = Content(content);
  return tree;
}

std::string Describe(const TTreePlan& plan) {
  std::string text;
  for (const TEntryPlan& entry : plan.Entries) {
    text += entry.Name + (entry.Embedded ? "=embedded" : "=" + Describe(entry.Chain)) + "; ";
  }
  return text;
}

TEST(PlanTree, FindsEachFileInEveryOldTreeOrEmbedsIt) {
  struct TCase {
    const char* Name;
    std::vector<std::vector<std::pair<std::string, std::string>>> Olds;
    std::vector<std::pair<std::string, std::string>> New;
    std::string Expected;
  };
  const TCase cases[] = {
      {"unchanged files get no entry", {{{"a", "1"}, {"b", "2"}}}, {{"a", "1"}, {"b", "3"}},
       "b=0:b ; "},
      {"a file new in every old tree is embedded", {{{"a", "1"}}}, {{"a", "1"}, {"c", "9"}},
       "c=embedded; "},
      {"missing in one old tree: embedded", {{{"a", "1"}}, {}}, {{"a", "2"}}, "a=embedded; "},
      {"moved to another directory, same file name", {{{"old\\x.dat", "1"}}},
       {{"new\\x.dat", "2"}}, "new\\x.dat=0:old\\x.dat ; "},
      {"renamed with its content kept", {{{"p.txt", "same"}}}, {{"q.txt", "same"}},
       "q.txt=0:p.txt ; "},
      {"two left-over files of that name: no guess", {{{"a\\x", "1"}, {"b\\x", "2"}}},
       {{"c\\x", "3"}}, "c\\x=embedded; "},
      // A file that the new tree still has is replaced by its own entry, so
      // it never serves as another file's source.
      {"a kept file is no rename source", {{{"d\\x", "1"}}}, {{"d\\x", "1"}, {"e\\x", "2"}},
       "e\\x=embedded; "},
      {"versions in three old trees", {{{"f", "A"}}, {{"f", "B"}}, {{"f", "C"}}}, {{"f", "N"}},
       "f=0:f 1:f 2:f ; "},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<TTree> olds;
    for (const auto& files : c.Olds) olds.push_back(Tree(files));
    EXPECT_EQ(Describe(PlanTree(olds, Tree(c.New))), c.Expected);
  }
}

TEST(PlanTree, WarnsAboutWhatAPatchCantCarry) {
  std::vector<TTree> olds = {Tree({{"gone.txt", "1"}, {"kept", "2"}})};
  TTree newTree = Tree({{"kept", "2"}});
  newTree.EmptyDirectories.push_back("empty");
  newTree.Unsupported.push_back("link");
  const TTreePlan plan = PlanTree(olds, newTree);
  ASSERT_EQ(plan.Warnings.size(), 3u);
  EXPECT_NE(plan.Warnings[0].find("\"gone.txt\""), std::string::npos);
  EXPECT_NE(plan.Warnings[1].find("\"empty\""), std::string::npos);
  EXPECT_NE(plan.Warnings[2].find("\"link\""), std::string::npos);
  EXPECT_TRUE(plan.Entries.empty());
}

TEST(ScanTree, LeavesOutWhatMendrixCantWrite) {
  TTempDir dir;
  WriteFileText(dir.File("root/sub/kept.txt"), "kept");
  WriteFileText(dir.File("root/drive:colon"), "a colon reads as a drive");
  WriteFileText(dir.File("root/back\\slash"), "a backslash reads as a separator");
  std::filesystem::create_directories(dir.File("root/empty/inner"));
  std::filesystem::create_symlink("sub/kept.txt", dir.File("root/link"));
  TTree tree;
  std::string error;
  ASSERT_TRUE(ScanTree(dir.File("root"), tree, error)) << error;
  ASSERT_EQ(tree.Files.size(), 1u);
  EXPECT_EQ(tree.Files.begin()->first, "sub\\kept.txt");
  EXPECT_EQ(tree.Files.begin()->second.Digest, Content("kept"));
  std::vector<std::string> unsupported = tree.Unsupported;
  std::sort(unsupported.begin(), unsupported.end());
  EXPECT_EQ(unsupported, (std::vector<std::string>{"back\\slash", "drive:colon", "link"}));
  EXPECT_EQ(tree.EmptyDirectories, (std::vector<std::string>{"empty", "empty\\inner"}));
}

}  // namespace
}  // namespace mendrix::test
