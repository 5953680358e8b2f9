#include "console/console.h"
#include "patchfile/container.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "patchfile/byte_order.h"
#include "support/patch_builder.h"
#include "support/test_files.h"

namespace mendrix {
namespace {

using TBytes = std::vector<std::uint8_t>;
using testing::ExitedWithCode;

const std::string FatalEnd = "\r\n\r\n\r\n";
const std::string KeyPrompt = "Please press any key... Ok. \r\n\r\n";

// Standard input at end of input for as long as it lives, so that the key
// wait after the notice returns at once.
class TStdinAtEnd {
 public:
  TStdinAtEnd() : Saved_(::dup(0)) {
    const int empty = ::open("/dev/null", O_RDONLY);
    ::dup2(empty, 0);
    ::close(empty);
  }
  ~TStdinAtEnd() {
    ::dup2(Saved_, 0);
    ::close(Saved_);
  }

 private:
  int Saved_;
};

// A small valid tree patch to spoil one field at a time.
TWriterPatch SmallPatch() {
  TWriterPatch patch;
  patch.PatchKind = TreePatchKind;
  patch.Notice = std::string("Hi") + '\0';
  TWriterEntry embedded;
  embedded.Type = EmbeddedEntryType;
  embedded.Name = "x.txt";
  embedded.Content = {'x'};
  patch.Entries.push_back(embedded);
  return patch;
}

struct TOpened {
  TPatchContext Context;
  std::string Printed;  // everything written to the console channel
};

TOpened OpenBytes(const test::TTempDir& dir, const TBytes& bytes) {
  const std::string path = dir.File("p.pat");
  test::WriteFileBytes(path, bytes);
  TOpened opened;
  TStdinAtEnd stdinAtEnd;
  testing::internal::CaptureStderr();
  // As a run opens it: the notice follows, then the key prompt.
  OpenPatch(opened.Context, path);
  PrintNotice(opened.Context.Notice);
  PressAnyKey();
  opened.Printed = testing::internal::GetCapturedStderr();
  return opened;
}

TEST(OpenPatch, ReadsTheReferencePatchBehindAProgram) {
  test::TTempDir dir;
  const TOpened opened = OpenBytes(
      dir, test::BuildPatch(test::ReferencePatch(), TBytes(test::ReferencePrefixSize, 0x4D)));
  const TPatchContext& context = opened.Context;
  EXPECT_FALSE(context.TreeMode);
  EXPECT_EQ(context.Header.FormatVersion, 190u);
  EXPECT_EQ(context.Header.PatchKind, 1);
  EXPECT_EQ(context.Header.NoticeLength, 522);
  EXPECT_EQ(context.Notice, test::ReferenceNotice());
  EXPECT_EQ(context.BackupName, "Backup");
  EXPECT_EQ(context.EntryTableOffset, 51805);

  // Only the English section is shown: 244 bytes, six of them line breaks.
  std::string english;
  for (const char c : test::ReferenceNotice().substr(0, 244)) {
    english += c == '\0' ? std::string("\r\n") : std::string(1, c);
  }
  EXPECT_EQ(opened.Printed, english + KeyPrompt);
}

TEST(OpenPatch, StandAlonePatchAndPatchKinds) {
  struct TCase {
    std::uint8_t Kind;
    bool Tree;
  };
  const TCase cases[] = {{0, false}, {1, false}, {2, true}, {3, false}, {255, false}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(int{c.Kind});
    test::TTempDir dir;
    TWriterPatch patch = SmallPatch();
    patch.PatchKind = c.Kind;
    patch.Entries.clear();
    const TOpened opened = OpenBytes(dir, test::BuildPatch(patch));
    EXPECT_EQ(opened.Context.TreeMode, c.Tree);
    // Read from the file's first byte: header, notice "Hi\0", "Backup".
    EXPECT_EQ(opened.Context.EntryTableOffset, 76 + 3 + 7);
    EXPECT_EQ(opened.Printed, "Hi\r\n\r\n" + KeyPrompt);
  }
}

TEST(OpenPatch, AcceptsBackupNamesBelowTheNewData) {
  for (const char* name : {"", "Backup", "old\\backup", "old/backup", ".\\b", "a..b"}) {
    SCOPED_TRACE(name);
    test::TTempDir dir;
    TWriterPatch patch = SmallPatch();
    patch.BackupName = name;
    EXPECT_EQ(OpenBytes(dir, test::BuildPatch(patch)).Context.BackupName, name);
  }
}

TEST(PrintNotice, StopsAtTheFirstMarker) {
  struct TCase {
    const char* Name;
    std::string Notice;
    std::string Printed;
  };
  const TCase cases[] = {
      {"empty notice: one line break", "", "\r\n"},
      {"marker at the start: nothing", "#%de", ""},
      {"no marker: whole text and a line break", "AB", "AB\r\n"},
      {"two zero bytes give an empty line", std::string("A\0\0B", 4), "A\r\n\r\nB\r\n"},
      {"a last \"#\" is printed", "A#", "A#\r\n"},
      {"\"#\" without \"%\" is printed", "#a%", "#a%\r\n"},
      {"later sections are not printed", std::string("Hi\0#%de\0Hallo\0", 14), "Hi\r\n"},
      {"bytes go out unchanged", "\x81\xFF\r", "\x81\xFF\r\r\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    testing::internal::CaptureStderr();
    PrintNotice(c.Notice);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.Printed);
  }
}

TEST(IsContainedName, RefusesNamesThatLeaveTheirDirectory) {
  struct TCase {
    const char* Name;
    bool Contained;
  };
  const TCase cases[] = {
      {"a.dat", true},
      {"sub\\a.dat", true},
      {"sub/a.dat", true},
      {"a..b\\c", true},
      {".\\a", true},
      {"..a", true},
      {"", false},
      {"..", false},
      {"..\\a", false},
      {"../a", false},
      {"sub\\..\\..\\a", false},
      {"sub\\..", false},
      {"sub/../a", false},
      {"\\a", false},
      {"/etc/passwd", false},
      {"C:a", false},
      {"sub\\C:\\a", false},
      {"...\\a", false},  // Windows reads a component of dots as ".."
      {".. \\a", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(IsContainedName(c.Name), c.Contained);
  }
  EXPECT_FALSE(IsContainedName(std::string("a\0b", 3)));
}

TEST(ReadShortString, LengthByteThenBytes) {
  struct TCase {
    const char* Name;
    TBytes Bytes;
    bool Ok;
    std::string Text;
  };
  const TCase cases[] = {
      {"empty string", {0, 'x'}, true, ""},
      {"zero byte stays in the text", {3, 'a', 0, 'b'}, true, std::string("a\0b", 3)},
      {"255 bytes",
       [] {
         TBytes b(256, 'z');
         b[0] = 255;
         return b;
       }(),
       true, std::string(255, 'z')},
      {"no length byte", {}, false, ""},
      {"fewer bytes than the length", {4, 'a', 'b'}, false, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TTempDir dir;
    test::WriteFileBytes(dir.File("s"), c.Bytes);
    TDiskFile file;
    OpenForReading(file, dir.File("s"));
    ASSERT_EQ(TakeIoStatus(), 0);
    std::string text = "previous";
    EXPECT_EQ(ReadShortString(file, text), c.Ok);
    EXPECT_EQ(text, c.Text);
    CloseDiskFile(file);
  }
}

// Each failure of the container, from a file that earns it.
TEST(OpenPatchDeathTest, StopsWithTheMessageOfTheFirstFailedCheck) {
  const TBytes good = test::BuildPatch(SmallPatch());
  auto spoiled = [&good](std::size_t at, std::uint32_t value) {
    TBytes bytes = good;
    StoreU32Le(&bytes[at], value);
    return bytes;
  };
  auto withPatch = [](void (*spoil)(TWriterPatch&)) {
    TWriterPatch patch = SmallPatch();
    spoil(patch);
    return test::BuildPatch(patch);
  };
  const std::size_t end = good.size();

  // A notice that ends exactly where the trailer begins: the backup name's
  // length byte is then the trailer's first byte, and it asks for more
  // bytes than are left.
  TWriterPatch noBackup = SmallPatch();
  noBackup.Entries.clear();
  noBackup.WriteEndMarker = false;
  noBackup.BackupName.clear();
  noBackup.Notice.assign(200, 'n');
  TBytes noBackupBytes = test::BuildPatch(noBackup);
  noBackupBytes.erase(noBackupBytes.end() - 9);  // the empty backup name
  StoreU32Le(&noBackupBytes[noBackupBytes.size() - 8],
             static_cast<std::uint32_t>(noBackupBytes.size()));
  ASSERT_GT(noBackupBytes[noBackupBytes.size() - 8], 7);

  TBytes tooShortNotice = good;
  StoreU16Le(&tooShortNotice[74], 0xFFFF);

  TBytes otherVersionShortNotice = tooShortNotice;
  StoreU32Le(&otherVersionShortNotice[4], 191);

  const std::string unreadable = "\r\nError, \"{}\" unreadable or no patchfile.";
  const std::string noPatch = "\r\nError, \"{}\" is no patchfile.";
  const std::string version =
      "\r\nError, this version of Mendrix can't apply this patch!\r\n"
      "Find appropiate version at http://www.mendrix.org/darnwell/mendr";
  struct TCase {
    const char* Name;
    TBytes Bytes;
    std::string Message;  // {} stands for the patch name
  };
  const std::vector<TCase> cases = {
      {"empty file", {}, unreadable},
      {"seven bytes", TBytes(7, 0x43), unreadable},
      {"container longer than the file", spoiled(end - 8, static_cast<std::uint32_t>(end + 1)),
       unreadable},
      {"container of 0xFFFFFFFF bytes", spoiled(end - 8, 0xFFFFFFFF), unreadable},
      {"container shorter than a header", spoiled(end - 8, 75), unreadable},
      {"container of 0 bytes", spoiled(end - 8, 0), unreadable},
      {"no trailer, but 76 bytes where it points", spoiled(end - 4, 0x12345678), noPatch},
      {"header magic differs", spoiled(0, PatchMagic + 1), noPatch},
      {"notice runs past the end", tooShortNotice, noPatch},
      {"no byte left for the backup name", noBackupBytes, noPatch},
      {"other version whose notice can't be read", otherVersionShortNotice, noPatch},
      {"backup name with \"..\"", withPatch([](TWriterPatch& p) { p.BackupName = "..\\up"; }),
       noPatch},
      {"backup name inside with \"..\"",
       withPatch([](TWriterPatch& p) { p.BackupName = "b\\..\\..\\up"; }), noPatch},
      {"absolute backup name", withPatch([](TWriterPatch& p) { p.BackupName = "\\tmp"; }), noPatch},
      {"absolute backup name with a slash",
       withPatch([](TWriterPatch& p) { p.BackupName = "/tmp"; }), noPatch},
      {"backup name with a drive", withPatch([](TWriterPatch& p) { p.BackupName = "D:b"; }),
       noPatch},
      {"version 191", spoiled(4, 191), version + "191.htm"},
      {"version 0xFFFFFFFF", spoiled(4, 0xFFFFFFFF), version + "-1.htm"},
      {"version 0", spoiled(4, 0), version + "0.htm"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    test::TTempDir dir;
    const std::string path = dir.File("p.pat");
    test::WriteFileBytes(path, c.Bytes);
    std::string message = c.Message;
    const std::size_t at = message.find("{}");
    if (at != std::string::npos) message.replace(at, 2, path);
    TPatchContext context;
    TStdinAtEnd stdinAtEnd;
    EXPECT_EXIT(OpenPatch(context, path), ExitedWithCode(1), testing::Eq(message + FatalEnd));
  }
}

TEST(OpenPatchDeathTest, PatchThatCannotBeOpened) {
  test::TTempDir dir;
  for (const std::string& name : {dir.File("missing.pat"), dir.Path()}) {
    SCOPED_TRACE(name);
    TPatchContext context;
    EXPECT_EXIT(
        OpenPatch(context, name), ExitedWithCode(1),
        testing::Eq("\r\nError, can't open patchfile \"" + name + "\" for reading!" + FatalEnd));
  }
}

}  // namespace
}  // namespace mendrix
