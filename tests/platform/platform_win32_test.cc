// What only the Windows program does: share modes, devices, key waits on a
// pipe, the command line as one text, and searches of the drives. Elsewhere
// this file is empty.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"
#include "fileio/fileio.h"
#include "platform/platform.h"

namespace mendrix {
namespace {

using test::TTempDir;
using test::WriteFileBytes;

// ---- Files ----

// A file open for writing can't be opened again, for reading or writing,
// and a file open for reading can still be read but not written or deleted.
TEST(Win32Sharing, OpenFilesKeepWritersAndDeletersOut) {
  enum class TUse { Read, Write, Delete };
  struct TCase {
    const char* Name;
    TUse First;
    TUse Second;
    bool Allowed;
  };
  const TCase cases[] = {
      {"two readers", TUse::Read, TUse::Read, true},
      {"reader, then writer", TUse::Read, TUse::Write, false},
      {"reader, then delete", TUse::Read, TUse::Delete, false},
      {"writer, then reader", TUse::Write, TUse::Read, false},
      {"writer, then writer", TUse::Write, TUse::Write, false},
  };
  (void)TakeIoStatus();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTempDir dir;
    const std::string path = dir.File("f");
    WriteFileBytes(path, {1, 2, 3});
    TDiskFile first, second;
    if (c.First == TUse::Read) {
      OpenForReading(first, path);
    } else {
      CreateForWriting(first, path);
    }
    ASSERT_EQ(TakeIoStatus(), 0);
    switch (c.Second) {
      case TUse::Read:
        OpenForReading(second, path);
        break;
      case TUse::Write:
        CreateForWriting(second, path);
        break;
      case TUse::Delete:
        second.Path = path;
        DeleteDiskFile(second);
        break;
    }
    EXPECT_EQ(TakeIoStatus() == 0, c.Allowed);
    if (second.State != TFileState::Closed) CloseDiskFile(second);
    CloseDiskFile(first);
    EXPECT_EQ(TakeIoStatus(), 0);
    EXPECT_TRUE(test::FileExists(path));
  }
}

// Device names are no files: "NUL" or "CON" in a patch or on the command line
// must not be read as a target.
TEST(Win32Names, DevicesAreNoRegularFiles) {
  for (const char* device : {"NUL", "CON", "nul"}) {
    SCOPED_TRACE(device);
    EXPECT_FALSE(OsIsRegularFile(device));
    TOsHandle handle = NoHandle;
    std::int64_t size = 0;
    EXPECT_NE(OsOpenRead(device, handle, size), 0);
    EXPECT_EQ(handle, NoHandle);
  }
}

TEST(Win32Listing, NamesKindsAndMissingDirectories) {
  TTempDir dir;
  WriteFileBytes(dir.File("file.txt"), {1});
  std::filesystem::create_directory(dir.File("sub"));
  for (const std::string& path : {dir.Path() + "\\", dir.Path()}) {
    SCOPED_TRACE(path);
    std::vector<std::string> seen;
    TOsDirEntry entry;
    TOsHandle find = OsFindFirst(path, entry);
    ASSERT_NE(find, NoHandle);
    do {
      seen.push_back(entry.Name + (entry.IsDirectory ? "\\" : ""));
      EXPECT_FALSE(entry.IsDirectoryLink);
    } while (OsFindNext(find, entry));
    OsFindClose(find);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{"..\\", ".\\", "file.txt", "sub\\"}));
  }
  TOsDirEntry entry;
  EXPECT_EQ(OsFindFirst(dir.File("missing\\"), entry), NoHandle);
  EXPECT_EQ(OsFindFirst(dir.File("file.txt\\"), entry), NoHandle);
  EXPECT_EQ(OsFindFirst("", entry), NoHandle);
}

TEST(Win32Process, ProgramPathTempPathAndCommandLine) {
  std::string program = OsProgramPath();
  std::string tail = program.substr(program.find_last_of('\\') + 1);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  EXPECT_EQ(tail, "mendrix_tests.exe");
  EXPECT_TRUE(OsIsRegularFile(program));

  std::string temp = OsTempPath();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  EXPECT_TRUE(std::filesystem::is_directory(temp));

  std::string line;
  EXPECT_TRUE(OsCommandLineText(line));
  EXPECT_NE(line.find("mendrix_tests"), std::string::npos);
}

// ---- Key waits with standard input on a pipe ----

// Standard input is the reading end of a pipe for one scope; the test holds
// the writing end.
class TPipeInput {
 public:
  TPipeInput() {
    EXPECT_TRUE(CreatePipe(&Read_, &Write_, nullptr, 0));
    Saved_ = GetStdHandle(STD_INPUT_HANDLE);
    SetStdHandle(STD_INPUT_HANDLE, Read_);
  }
  ~TPipeInput() {
    EndInput();
    // Take whatever is left, so that no read is still running on the pipe.
    while (OsWaitKey(true, 5000) != 0) {
    }
    SetStdHandle(STD_INPUT_HANDLE, Saved_);
    CloseHandle(Read_);
  }
  void Send(const std::string& bytes) {
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(Write_, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                          nullptr));
  }
  void EndInput() {
    if (Write_ != nullptr) CloseHandle(Write_);
    Write_ = nullptr;
  }

 private:
  HANDLE Read_ = nullptr;
  HANDLE Write_ = nullptr;
  HANDLE Saved_ = nullptr;
};

DWORD Since(DWORD start) { return GetTickCount() - start; }

// A timed wait ends in time even while the writer keeps the pipe open and
// silent, and a byte that comes later is the next wait's key.
TEST(Win32KeyWait, TimedWaitOnASilentPipeEndsAndLosesNoByte) {
  TPipeInput input;
  DWORD start = GetTickCount();
  EXPECT_EQ(OsWaitKey(true, 400), 0);
  EXPECT_GE(Since(start), 350u);
  EXPECT_LT(Since(start), 5000u);

  input.Send("a");
  EXPECT_EQ(OsWaitKey(true, 5000), 'a');
  input.Send("bc");
  EXPECT_EQ(OsWaitKey(false, 0), 'b');
  EXPECT_EQ(OsWaitKey(true, 5000), 'c');

  input.EndInput();
  start = GetTickCount();
  EXPECT_EQ(OsWaitKey(false, 0), 0);  // the end answers at once, timed or not
  EXPECT_EQ(OsWaitKey(true, 5000), 0);
  EXPECT_LT(Since(start), 2000u);
}

TEST(Win32KeyWait, FileInputGivesEachByteThenZero) {
  TTempDir dir;
  WriteFileBytes(dir.File("keys"), {'x', 0xE4, 'y'});
  HANDLE file = CreateFileA(dir.File("keys").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, file);
  EXPECT_EQ(OsWaitKey(true, 1000), 'x');
  EXPECT_EQ(OsWaitKey(false, 0), 0xE4);
  EXPECT_EQ(OsWaitKey(false, 0), 'y');
  EXPECT_EQ(OsWaitKey(false, 0), 0);
  SetStdHandle(STD_INPUT_HANDLE, saved);
  CloseHandle(file);
}

// ---- Whole runs ----

// The command line comes as one text that the program splits itself; an
// argument with blanks arrives whole.
TEST(Win32Run, QuotedArgumentArrivesWhole) {
  test::TRunRequest request;
  request.Arguments = {"-x y\tz"};
  test::TRunResult run = test::RunProgram(request);
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Err, test::Banner() + "Illegal option \"-x y\tz\".\r\n");
}

// Searches of the drives, which walk whole drives: they run only under Wine
// in a prefix without the drive Z: (the Linux root) and C: is the prefix's
// own small drive. The CI stage sets the prefix up so.
// (Wine's list of logical drives can lag behind its drive links; what counts
// is whether a drive's root can be looked at.)
bool DriveExists(char letter) {
  return GetFileAttributesA((std::string(1, letter) + ":\\").c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool DrivesAreSafeToSearch() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  bool wine = ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  return wine && !DriveExists('Z');
}

const std::string SearchFailure =
    "\r\nSeems that the file(s) that this patch is meant to modify, don't exist on\r\n"
    "this computer?! Maybe you need to reinstall or unzip it? Or you try to apply\r\n"
    "a patch to software you don't have?";

std::string Erase(std::size_t count) {
  return std::string(count, '\b') + std::string(count, ' ') + std::string(count, '\b');
}

// A fresh directory in the root of C:, removed afterwards.
class TDriveCDir {
 public:
  TDriveCDir() {
    std::string name = "mendrix-search-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(GetTickCount());
    Path_ = "C:\\" + name;
    std::filesystem::create_directory(Path_);
    Name_ = name;
  }
  ~TDriveCDir() {
    std::error_code error;
    std::filesystem::remove_all(Path_, error);
  }
  const std::string& Path() const { return Path_; }
  const std::string& Name() const { return Name_; }

 private:
  std::string Path_;
  std::string Name_;
};

TEST(Win32DriveSearch, NothingFoundShowsAndErasesEveryDriveLetter) {
  if (!DrivesAreSafeToSearch()) GTEST_SKIP() << "needs Wine and a prefix without Z:";
  test::TRunDir dir;
  const test::TBytes old = test::RandomBytes(3000, GetTickCount());
  test::TBytes result = old;
  result[100] ^= 1;
  dir.WritePatch("p.pat", test::SingleFilePatch(test::ChainEntry("", {old, result}, 0)));

  test::TRunResult run = dir.Run({"-auto", "p.pat"}, "k");
  EXPECT_EQ(run.ExitCode, 1);
  EXPECT_EQ(run.Err, test::Banner() + test::NoticeAndPrompt("Test") +
                         test::FatalText(SearchFailure));
  // The current directory (nothing below it), then C: walked, then every
  // letter without a drive shown and taken back.
  const std::string start = "Scanning your harddisk(s) for target files...\r\n.\\" + Erase(2) +
                            "C:\\";
  EXPECT_EQ(run.Out.substr(0, start.size()), start);
  std::string lettersWithoutDrive;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (DriveExists(letter)) continue;
    lettersWithoutDrive += std::string(1, letter) + ":\\" + Erase(3);
  }
  ASSERT_GE(run.Out.size(), lettersWithoutDrive.size());
  EXPECT_EQ(run.Out.substr(run.Out.size() - lettersWithoutDrive.size()), lettersWithoutDrive);
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

// A candidate deep on drive C: is offered with its full path and taken; the
// display of every directory on the way is taken back before the run goes on.
TEST(Win32DriveSearch, CandidateOnDriveCIsOfferedTakenAndPatched) {
  if (!DrivesAreSafeToSearch()) GTEST_SKIP() << "needs Wine and a prefix without Z:";
  TDriveCDir place;
  const std::string target = place.Path() + "\\deeper\\app.bin";
  const test::TBytes old = test::RandomBytes(4000, GetTickCount() + 1);
  test::TBytes result = old;
  result.insert(result.end(), {'n', 'e', 'w'});
  WriteFileBytes(target, old);
  test::TRunDir dir;
  const std::uint32_t stamp = test::DosStamp(2003, 3, 3, 3, 3, 4);
  dir.WritePatch("p.pat", test::SingleFilePatch(test::ChainEntry("", {old, result}, stamp)));

  test::TRunResult run = dir.Run({"p.pat", "-auto"}, "ky");
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  const std::string question =
      std::string(81, '\b') + target + "  Take this? (y/n) y\r\n\r\n";
  const std::string rest = question + Erase(std::string("deeper\\").size()) +
                           Erase(place.Name().size() + 1) + Erase(3) +
                           "Checking patchinfo for \"" + target + "\".\r\n" +
                           "Test Ok. Now applying patch.\r\n" + "Patching file \"" + target +
                           "\".\r\n" + "Done.\r\n";
  ASSERT_GE(run.Out.size(), rest.size());
  EXPECT_EQ(run.Out.substr(run.Out.size() - rest.size()), rest);
  EXPECT_EQ(test::ReadFileBytes(target), result);
  EXPECT_EQ(test::FileWriteTime(target), test::UtcSeconds(2003, 3, 3, 3, 3, 4));
  EXPECT_TRUE(dir.LeftInTemp().empty());
}

}  // namespace
}  // namespace mendrix

#endif  // _WIN32
