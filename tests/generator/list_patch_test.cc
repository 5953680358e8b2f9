// mendrix-make --list: what a patch holds, for people and (--json) for
// scripts. The expected values come from the files the patches were made
// from, not from the reader: sizes, checksums computed here, dates set here.
// A damaged patch must get the message Mendrix itself gives.
#include "generator/list_patch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "checksum/checksum.h"
#include "generator/json_reader.h"
#include "support/run_program.h"
#include "support/test_files.h"

namespace mendrix::test {
namespace {

namespace fs = std::filesystem;
using TBytes = std::vector<std::uint8_t>;

const std::string DemoPatch = std::string(MENDRIX_SOURCE_DIR) + "/tools/demo/demo.pat";
const std::string DemoOld = std::string(MENDRIX_SOURCE_DIR) + "/tools/demo/old/";

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

std::string Crc(const TBytes& bytes) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x",
                CrcUpdate(CrcStart, bytes.data(), static_cast<std::int32_t>(bytes.size())));
  return text;
}

TBytes Edited(TBytes bytes, std::uint32_t seed) {
  const TBytes noise = RandomBytes(40, seed);
  for (std::size_t i = seed % 89; i < bytes.size(); i += 257) bytes[i] ^= noise[i % 40] | 1;
  bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2), noise.begin(), noise.end());
  return bytes;
}

constexpr std::int64_t NewTime = 1434010151;  // 2015-06-11 08:09:11 UTC
constexpr const char* NewTimeText = "2015-06-11 08:09:10";  // DOS times keep even seconds

void SetTime(const std::string& path, std::int64_t seconds) {
  const auto moment = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
  fs::last_write_time(path, std::chrono::file_clock::from_sys(moment));
}

class ListPatchRun : public testing::Test {
 protected:
  TRunResult Run(const std::string& program, std::vector<std::string> arguments) {
    TRunRequest request;
    request.Program = program;
    request.Arguments = std::move(arguments);
    request.WorkDir = Dir.Path();
    request.Environment = {{"TZ", "UTC"}, {"TMPDIR", Dir.Path()}};
    return RunProgram(request);
  }
  TRunResult Make(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "-q");
    return Run(MENDRIX_MAKE_BINARY, std::move(arguments));
  }
  // The JSON listing, parsed; fails the test when it isn't JSON.
  TJson ListJson(const std::string& patch) {
    const TRunResult run = Run(MENDRIX_MAKE_BINARY, {"--list", "--json", patch});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Err, "");
    TJson json;
    std::string error;
    EXPECT_TRUE(ParseJson(run.Out, json, error)) << error << "\n" << run.Out;
    return json;
  }

  TTempDir Dir;
};

// The totals must add up what the entries say.
void ExpectTotalsAddUp(const TJson& json) {
  std::int64_t files = 0, variants = 0, embedded = 0, results = 0, deltas = 0, embeddedBytes = 0;
  for (const TJson& entry : json["entries"].Array) {
    if (entry["type"].String == "embedded") {
      ++embedded;
      embeddedBytes += entry["size"].Int();
      continue;
    }
    ++files;
    results += entry["size"].Int();
    for (const TJson& variant : entry["variants"].Array) {
      ++variants;
      deltas += variant["deltaSize"].Int();
    }
  }
  const TJson& totals = json["totals"];
  EXPECT_EQ(totals["fileEntries"].Int(), files);
  EXPECT_EQ(totals["variants"].Int(), variants);
  EXPECT_EQ(totals["embeddedFiles"].Int(), embedded);
  EXPECT_EQ(totals["resultBytes"].Int(), results);
  EXPECT_EQ(totals["deltaBytes"].Int(), deltas);
  EXPECT_EQ(totals["embeddedBytes"].Int(), embeddedBytes);
}

TEST_F(ListPatchRun, DemoPatchAsJson) {
  const TJson json = ListJson(DemoPatch);
  EXPECT_EQ(json["kind"].String, "tree");
  EXPECT_EQ(json["formatVersion"].Int(), 190);
  EXPECT_EQ(json["fileSize"].Int(), static_cast<std::int64_t>(fs::file_size(DemoPatch)));
  EXPECT_FALSE(json["selfApplying"].Bool);
  EXPECT_EQ(json["backupName"].String, "Backup");
  EXPECT_EQ(json["notice"]["shown"].String,
            "Sample Tools 2.0 update\nBrings Sample Tools 1.0 or 1.1 to 2.0.\n"
            "Replaced files are kept in the folder Backup.\n");
  ASSERT_EQ(json["notice"]["sections"].Array.size(), 1u);
  EXPECT_EQ(json["notice"]["sections"][0]["heading"].String, "#%de");
  EXPECT_EQ(json["notice"]["sections"][0]["text"].String, "Bringt Sample Tools 1.0 oder 1.1 auf 2.0.\n");

  const TJson& entries = json["entries"];
  ASSERT_EQ(entries.Array.size(), 4u);
  struct TExpected {
    const char* Type;
    const char* Name;
    std::int64_t Size;
    std::size_t Variants;
  };
  const TExpected expected[] = {
      {"file", "readme.txt", 138, 2},
      {"file", "bin\\tool.dat", 3700, 2},
      {"file", "changes.txt", 107, 2},
      {"embedded", "docs\\welcome.txt", 60, 0},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(expected[i].Name);
    EXPECT_EQ(entries[i]["type"].String, expected[i].Type);
    EXPECT_EQ(entries[i]["name"].String, expected[i].Name);
    EXPECT_EQ(entries[i]["size"].Int(), expected[i].Size);
    EXPECT_EQ(entries[i]["date"].String, "2024-06-01 10:00:00");
    EXPECT_EQ(entries[i]["variants"].Array.size(), expected[i].Variants);
  }
  // The old tree holds one version of each file: its checksum and size are
  // one variant's source, under the name the variant gives.
  struct TOldFile {
    std::size_t Entry;
    const char* Source;  // name in the patch
    const char* Path;    // in tools/demo/old
  };
  const TOldFile olds[] = {
      {0, "readme.txt", "readme.txt"},
      {1, "bin\\tool.dat", "bin/tool.dat"},
      {2, "notes.txt", "notes.txt"},  // renamed to changes.txt
  };
  for (const TOldFile& old : olds) {
    SCOPED_TRACE(old.Path);
    const TBytes bytes = ReadFileBytes(DemoOld + old.Path);
    bool found = false;
    for (const TJson& variant : entries[old.Entry]["variants"].Array) {
      EXPECT_EQ(variant["source"].String, old.Source);
      found = found || (variant["checksum"].String == Crc(bytes) &&
                        variant["size"].Int() == static_cast<std::int64_t>(bytes.size()));
    }
    EXPECT_TRUE(found);
  }
  ExpectTotalsAddUp(json);
}

TEST_F(ListPatchRun, DemoPatchAsText) {
  const TRunResult run = Run(MENDRIX_MAKE_BINARY, {"-l", DemoPatch});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  const std::string notes = Crc(ReadFileBytes(DemoOld + "notes.txt"));
  const char* const lines[] = {
      "  kind:          directory tree (kind 2), format 190\r\n",
      "  self-applying: no\r\n",
      "  backup folder: Backup\r\n",
      "  notice, shown by Mendrix:\r\n    | Sample Tools 2.0 update\r\n",
      "  notice section \"#%de\", not shown by Mendrix:\r\n"
      "    | Bringt Sample Tools 1.0 oder 1.1 auf 2.0.\r\n",
      "  docs\\welcome.txt\r\n    embedded  60 bytes, 2024-06-01 10:00:00\r\n",
      "Totals: 3 file entries with 6 variants, 1 embedded file; results 3945 bytes",
  };
  for (const char* line : lines) EXPECT_NE(run.Out.find(line), std::string::npos) << line << run.Out;
  EXPECT_NE(run.Out.find("    from      notes.txt (renamed), 28 bytes, checksum " + notes),
            std::string::npos)
      << run.Out;
}

TEST_F(ListPatchRun, SingleFileChain) {
  const TBytes v1 = RandomBytes(9000, 51);
  const TBytes v2 = Edited(v1, 1);
  const TBytes v3 = Edited(v2, 2);
  const TBytes latest = Edited(v3, 3);
  WriteFileBytes(Dir.File("v1"), v1);
  WriteFileBytes(Dir.File("v2"), v2);
  WriteFileBytes(Dir.File("v3"), v3);
  WriteFileBytes(Dir.File("new"), latest);
  SetTime(Dir.File("new"), NewTime);
  const TRunResult made = Make({"-o", "p.pat", "v1", "v2", "v3", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  const TJson json = ListJson("p.pat");
  EXPECT_EQ(json["kind"].String, "file");
  EXPECT_EQ(json["backupName"].Kind, TJson::TKind::Null);
  EXPECT_EQ(json["notice"]["shown"].String, "");
  ASSERT_EQ(json["entries"].Array.size(), 1u);
  const TJson& entry = json["entries"][0];
  EXPECT_EQ(entry["name"].Kind, TJson::TKind::Null);
  EXPECT_EQ(entry["size"].Int(), static_cast<std::int64_t>(latest.size()));
  EXPECT_EQ(entry["checksum"].String, Crc(latest));
  EXPECT_EQ(entry["date"].String, NewTimeText);
  const TBytes* versions[] = {&v1, &v2, &v3};
  ASSERT_EQ(entry["variants"].Array.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(entry["variants"][k]["size"].Int(), static_cast<std::int64_t>(versions[k]->size()));
    EXPECT_EQ(entry["variants"][k]["checksum"].String, Crc(*versions[k]));
    EXPECT_GT(entry["variants"][k]["deltaSize"].Int(), 0);
  }
  ExpectTotalsAddUp(json);
  const TRunResult text = Run(MENDRIX_MAKE_BINARY, {"--list", "p.pat"});
  EXPECT_NE(text.Out.find("  kind:          single file (kind 1)"), std::string::npos) << text.Out;
  EXPECT_NE(text.Out.find("  (the patched file)\r\n    result    " + std::to_string(latest.size()) +
                          " bytes, " + NewTimeText + ", checksum " + Crc(latest)),
            std::string::npos)
      << text.Out;
}

TEST_F(ListPatchRun, TreeWithEmbeddedFilesNoticeAndBackupName) {
  WriteFileText(Dir.File("old/a.txt"), "old a\n");
  WriteFileText(Dir.File("new/a.txt"), "new a\n");
  WriteFileText(Dir.File("new/added/one.txt"), "one\n");
  WriteFileText(Dir.File("new/two \xC3\xA9.txt"), "two, a bit longer\n");
  for (const char* name : {"new/a.txt", "new/added/one.txt", "new/two \xC3\xA9.txt"}) {
    SetTime(Dir.File(name), NewTime);
  }
  WriteFileText(Dir.File("notice.txt"), "Hello \"quoted\"\tand tabbed\n#%de\nHallo\n#%fr\nSalut\n");
  const TRunResult made =
      Make({"-notice", "notice.txt", "--backup", "Saved/old", "-o", "p.pat", "old", "new"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  const TJson json = ListJson("p.pat");
  EXPECT_EQ(json["backupName"].String, "Saved\\old");
  EXPECT_EQ(json["notice"]["shown"].String, "Hello \"quoted\"\tand tabbed\n");
  ASSERT_EQ(json["notice"]["sections"].Array.size(), 2u);
  EXPECT_EQ(json["notice"]["sections"][0]["heading"].String, "#%de");
  EXPECT_EQ(json["notice"]["sections"][0]["text"].String, "Hallo\n");
  EXPECT_EQ(json["notice"]["sections"][1]["heading"].String, "#%fr");
  EXPECT_EQ(json["notice"]["sections"][1]["text"].String, "Salut\n");
  struct TExpected {
    const char* Name;
    const char* Type;
    std::int64_t Size;
  };
  const TExpected expected[] = {
      {"a.txt", "file", 6},
      {"added\\one.txt", "embedded", 4},
      {"two \xC3\xA9.txt", "embedded", 18},
  };
  ASSERT_EQ(json["entries"].Array.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expected[i].Name);
    EXPECT_EQ(json["entries"][i]["name"].String, expected[i].Name);
    EXPECT_EQ(json["entries"][i]["type"].String, expected[i].Type);
    EXPECT_EQ(json["entries"][i]["size"].Int(), expected[i].Size);
    EXPECT_EQ(json["entries"][i]["date"].String, NewTimeText);
  }
  EXPECT_EQ(json["entries"][0]["variants"][0]["source"].String, "a.txt");
  EXPECT_EQ(json["entries"][0]["variants"][0]["checksum"].String, Crc(Text("old a\n")));
  ExpectTotalsAddUp(json);
}

TEST_F(ListPatchRun, SelfApplyingPatch) {
  WriteFileBytes(Dir.File("old.bin"), RandomBytes(5000, 61));
  WriteFileBytes(Dir.File("new.bin"), Edited(RandomBytes(5000, 61), 4));
  const TRunResult made =
      Make({"-self", "-mendrix", MENDRIX_BINARY, "update", "old.bin", "new.bin"});
  ASSERT_EQ(made.ExitCode, 0) << made.Err;
  const TJson json = ListJson("update");
  EXPECT_TRUE(json["selfApplying"].Bool);
  EXPECT_EQ(json["programSize"].Int(), static_cast<std::int64_t>(fs::file_size(MENDRIX_BINARY)));
  EXPECT_EQ(json["fileSize"].Int(), static_cast<std::int64_t>(fs::file_size(Dir.File("update"))));
  EXPECT_EQ(json["entries"].Array.size(), 1u);
  const TRunResult text = Run(MENDRIX_MAKE_BINARY, {"--list", "update"});
  EXPECT_NE(text.Out.find("  self-applying: yes, after a program of " +
                          std::to_string(fs::file_size(MENDRIX_BINARY)) + " bytes"),
            std::string::npos)
      << text.Out;
}

// One fault per case; the listing stops with exit code 1 and the message
// Mendrix gives for the same file.
TEST_F(ListPatchRun, DamagedPatchGetsMendrixsOwnMessage) {
  const TBytes demo = ReadFileBytes(DemoPatch);
  const auto at = [&](const std::string& text) {
    const auto found = std::search(demo.begin(), demo.end(), text.begin(), text.end());
    EXPECT_NE(found, demo.end()) << text;
    return static_cast<std::size_t>(found - demo.begin());
  };
  const auto changed = [&](std::size_t offset, const std::string& bytes) {
    TBytes copy = demo;
    std::copy(bytes.begin(), bytes.end(), copy.begin() + static_cast<std::ptrdiff_t>(offset));
    return copy;
  };
  struct TCase {
    const char* Name;
    TBytes Bytes;
    const char* Message;
  };
  const std::size_t headerStart = at("Sample Tools 2.0 update") - 76;
  const TCase cases[] = {
      {"not a patch: the trailer's magic is wrong",
       [] {
         // 80 bytes of header and more, then a length that fits and no magic.
         TBytes bytes = Text(std::string(80, 'x') + std::string("\x58\0\0\0ABCD", 8));
         return bytes;
       }(),
       "\" is no patchfile."},
      {"not a patch: text", Text("just some text, long enough to hold a trailer"),
       "\" unreadable or no patchfile."},
      {"shorter than its trailer", Text("abc"), "\" unreadable or no patchfile."},
      {"another format version", changed(headerStart + 4, std::string("\xBF\x00", 2)),
       "Error, this version of Mendrix can't apply this patch!"},
      {"a name that leaves the tree", changed(at("\x0c" "bin\\tool.dat") + 1, "..\\tool.dat"),
       "Error, patch corrupted!"},
      {"a name of dots and spaces", changed(at("\x0b" "changes.txt") + 1, "...        "),
       "Error, patch corrupted!"},
      {"the backup name leaves the tree", changed(at("\x06" "Backup") + 1, "..\\..."),
       "\" is no patchfile."},
      {"cut inside the entry table",
       [&] {
         // The container keeps its trailer but ends inside the embedded file.
         TBytes cut(demo.begin(), demo.begin() + static_cast<std::ptrdiff_t>(at("\x10" "docs\\welcome.txt") + 1));
         const std::uint32_t length = static_cast<std::uint32_t>(cut.size() + 8 - headerStart);
         for (int i = 0; i < 4; ++i) cut.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
         cut.insert(cut.end(), demo.end() - 4, demo.end());
         return cut;
       }(),
       "Error, patch corrupted!"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFileBytes(Dir.File("bad.pat"), c.Bytes);
    for (const bool json : {false, true}) {
      std::vector<std::string> arguments = {"--list", "bad.pat"};
      if (json) arguments.push_back("--json");
      const TRunResult listed = Run(MENDRIX_MAKE_BINARY, arguments);
      EXPECT_EQ(listed.ExitCode, 1);
      EXPECT_EQ(listed.Out, "");
      EXPECT_NE(listed.Err.find(c.Message), std::string::npos) << listed.Err;
    }
    // Mendrix says the same about it, in its test mode on the demo's old tree.
    fs::remove_all(Dir.File("tree"));
    fs::copy(DemoOld, Dir.File("tree"), fs::copy_options::recursive);
    TRunRequest request;
    request.Arguments = {"-t", Dir.File("bad.pat"), Dir.File("tree")};
    request.WorkDir = Dir.Path();
    const TRunResult applied = RunProgram(request);
    EXPECT_EQ(applied.ExitCode, 1);
    EXPECT_NE(applied.Err.find(c.Message), std::string::npos) << applied.Err;
  }
  const TRunResult missing = Run(MENDRIX_MAKE_BINARY, {"--list", "none.pat"});
  EXPECT_EQ(missing.ExitCode, 1);
  EXPECT_NE(missing.Err.find("Error, can't open patchfile \"none.pat\" for reading!"),
            std::string::npos)
      << missing.Err;
}

// Any single changed byte: a listing or Mendrix's message, never a crash.
TEST_F(ListPatchRun, EveryChangedByteListsOrStops) {
  const TBytes demo = ReadFileBytes(DemoPatch);
  for (std::size_t offset = 0; offset < demo.size(); offset += 23) {
    TBytes bytes = demo;
    bytes[offset] ^= 0xA5;
    WriteFileBytes(Dir.File("changed.pat"), bytes);
    const TRunResult listed = Run(MENDRIX_MAKE_BINARY, {"--list", "--json", "changed.pat"});
    ASSERT_TRUE(listed.ExitCode == 0 || listed.ExitCode == 1)
        << "byte " << offset << ": exit " << listed.ExitCode << " signal " << listed.Signal;
    if (listed.ExitCode == 0) {
      TJson json;
      std::string error;
      EXPECT_TRUE(ParseJson(listed.Out, json, error)) << "byte " << offset << ": " << error;
    } else {
      EXPECT_NE(listed.Err.find("Error"), std::string::npos) << "byte " << offset;
    }
  }
}

TEST(SplitNotice, ShownTextAndLanguageSections) {
  struct TCase {
    const char* Name;
    std::string Notice;
    std::vector<std::pair<std::string, std::string>> Sections;  // heading, text
  };
  const TCase cases[] = {
      {"none", "", {}},
      {"one line, no end", "Hi", {{"", "Hi\n"}}},
      {"lines", std::string("a\0b\0", 4), {{"", "a\nb\n"}}},
      {"a section", std::string("Hi\0#%de\0Hallo\0", 14), {{"", "Hi\n"}, {"#%de", "Hallo\n"}}},
      {"only sections", std::string("#%en\0Hi", 7), {{"", ""}, {"#%en", "Hi\n"}}},
      // Mendrix stops at "#%" anywhere, not only at the start of a line.
      {"a marker inside a line", std::string("50 #%off\0rest", 13), {{"", "50 \n"}, {"#%off", "rest\n"}}},
      {"a heading without text", std::string("Hi\0#%de", 7), {{"", "Hi\n"}, {"#%de", ""}}},
      {"two markers on one line", std::string("#%a#%b\0x", 8), {{"", ""}, {"#%a", ""}, {"#%b", "x\n"}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::pair<std::string, std::string>> sections;
    for (const TNoticeSection& section : SplitNotice(c.Notice)) {
      sections.emplace_back(section.Heading, section.Text);
    }
    EXPECT_EQ(sections, c.Sections);
  }
}

TEST(DosTimeText, DateAndTimeOrInvalid) {
  struct TCase {
    std::uint32_t Stamp;
    const char* Text;
  };
  const TCase cases[] = {
      {(44u << 9 | 6 << 5 | 1) << 16 | (10u << 11 | 0 << 5 | 0), "2024-06-01 10:00:00"},
      {(0u << 9 | 1 << 5 | 1) << 16, "1980-01-01 00:00:00"},
      {(127u << 9 | 12 << 5 | 31) << 16 | (23u << 11 | 59 << 5 | 29), "2107-12-31 23:59:58"},
      {0, "invalid (0x00000000)"},                            // month 0
      {(44u << 9 | 13 << 5 | 1) << 16, "invalid (0x59a10000)"},  // month 13
      {(44u << 9 | 6 << 5 | 1) << 16 | (24u << 11), "invalid (0x58c1c000)"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(DosTimeText(c.Stamp), c.Text);
  }
}

}  // namespace
}  // namespace mendrix::test
