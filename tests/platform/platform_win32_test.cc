// What only the Windows program does: share modes, devices, what stands at a
// name, key waits on a pipe, the command line as one text, and searches of
// the drives. Elsewhere this file is empty.
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
#include <cstdlib>
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
      OpenForWriting(first, path);
    }
    ASSERT_EQ(TakeIoStatus(), 0);
    switch (c.Second) {
      case TUse::Read:
        OpenForReading(second, path);
        break;
      case TUse::Write:
        OpenForWriting(second, path);
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

// ---- What stands at a name ----

TEST(Win32Names, PathKindTellsMissingFilesDirectoriesAndDevices) {
  TTempDir dir;
  WriteFileBytes(dir.File("file"), {1, 2});
  ASSERT_TRUE(std::filesystem::create_directory(dir.File("sub")));
  const struct {
    std::string Path;
    TOsPathKind Kind;
  } cases[] = {
      {dir.File("file"), TOsPathKind::File},
      {dir.File("sub"), TOsPathKind::Directory},
      {dir.Path(), TOsPathKind::Directory},
      {dir.File("missing"), TOsPathKind::Missing},
      {dir.File("missing\\below"), TOsPathKind::Missing},
      {"", TOsPathKind::Missing},
      {"NUL", TOsPathKind::Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Path);
    EXPECT_EQ(OsPathKind(c.Path), c.Kind);
  }
}

// The last-write time as OsFileIdentity gives it for a DOS stamp (TZ=UTC in
// the tests, so local time is UTC).
std::int64_t FileTimeOf(std::uint32_t dosStamp) {
  FILETIME local, universal;
  EXPECT_TRUE(DosDateTimeToFileTime(static_cast<WORD>(dosStamp >> 16),
                                    static_cast<WORD>(dosStamp & 0xFFFF), &local));
  EXPECT_TRUE(LocalFileTimeToFileTime(&local, &universal));
  return static_cast<std::int64_t>((std::uint64_t{universal.dwHighDateTime} << 32) |
                                   universal.dwLowDateTime);
}

void SetWriteTime(const std::string& path, std::uint32_t dosStamp) {
  TOsHandle handle = NoHandle;
  ASSERT_EQ(OsOpenWrite(path, handle), 0);
  EXPECT_EQ(OsSetWriteTime(handle, dosStamp), 0);
  EXPECT_EQ(OsClose(handle), 0);
}

// Two names of one file are one file; another file, or the same file after a
// rewrite, is told apart.
TEST(Win32Names, FileIdentityOfLinksAndRewrites) {
  TTempDir dir;
  const std::string first = dir.File("first");
  const std::string second = dir.File("second");
  const std::string other = dir.File("other");
  WriteFileBytes(first, {1, 2, 3});
  WriteFileBytes(other, {1, 2, 3});
  ASSERT_EQ(OsLink(first, second), 0);
  const std::uint32_t stamp = test::DosStamp(2001, 2, 3, 4, 5, 6);
  SetWriteTime(first, stamp);

  TOsFileIdentity a, b, c;
  ASSERT_EQ(OsFileIdentity(first, false, a), 0);
  ASSERT_EQ(OsFileIdentity(second, true, b), 0);
  ASSERT_EQ(OsFileIdentity(other, false, c), 0);
  EXPECT_EQ(a.Device, b.Device);
  EXPECT_EQ(a.Inode, b.Inode);
  EXPECT_EQ(a.Links, 2u);
  EXPECT_EQ(b.Links, 2u);
  EXPECT_EQ(a.Size, 3);
  EXPECT_EQ(a.Modified, FileTimeOf(stamp));
  EXPECT_TRUE(a.Regular);
  EXPECT_NE(c.Inode, a.Inode);
  EXPECT_EQ(c.Links, 1u);

  // Same size, new time; then new size.
  WriteFileBytes(first, {4, 5, 6});
  SetWriteTime(first, stamp + 1);  // two seconds later
  TOsFileIdentity rewritten;
  ASSERT_EQ(OsFileIdentity(second, false, rewritten), 0);
  EXPECT_EQ(rewritten.Inode, a.Inode);
  EXPECT_EQ(rewritten.Size, 3);
  EXPECT_EQ(rewritten.Modified, FileTimeOf(stamp + 1));
  WriteFileBytes(first, {4, 5, 6, 7});
  SetWriteTime(first, stamp + 1);
  ASSERT_EQ(OsFileIdentity(first, false, rewritten), 0);
  EXPECT_EQ(rewritten.Size, 4);

  TOsFileIdentity directory;
  ASSERT_EQ(OsFileIdentity(dir.Path(), true, directory), 0);
  EXPECT_FALSE(directory.Regular);
  TOsFileIdentity missing;
  EXPECT_NE(OsFileIdentity(dir.File("missing"), true, missing), 0);
  EXPECT_NE(OsFileIdentity("", true, missing), 0);
}

TEST(Win32Names, MakeAndRemoveDirectories) {
  TTempDir dir;
  const std::string sub = dir.File("sub");
  ASSERT_EQ(OsMakeDirectoryLike(sub, dir.Path()), 0);
  EXPECT_EQ(OsPathKind(sub), TOsPathKind::Directory);
  EXPECT_TRUE(OsCanCreateIn(sub));
  EXPECT_NE(OsMakeDirectoryLike(sub, dir.Path()), 0);  // already there
  EXPECT_NE(OsMakeDirectoryLike(dir.File("missing\\sub"), ""), 0);

  WriteFileBytes(sub + "\\file", {1});
  EXPECT_NE(OsRemoveDirectory(sub), 0);  // not empty
  EXPECT_NE(OsRemoveDirectory(sub + "\\file"), 0);  // no directory
  EXPECT_EQ(OsPathKind(sub + "\\file"), TOsPathKind::File);
  EXPECT_FALSE(OsCanCreateIn(sub + "\\file"));
  ASSERT_EQ(OsDelete(sub + "\\file"), 0);
  EXPECT_EQ(OsRemoveDirectory(sub), 0);
  EXPECT_EQ(OsPathKind(sub), TOsPathKind::Missing);
  EXPECT_FALSE(OsCanCreateIn(sub));
  EXPECT_NE(OsRemoveDirectory(sub), 0);
  EXPECT_EQ(OsSyncDirectories({dir.Path()}), 0);
}

// Every file is flushed; a name that can't be opened is reported even when
// the files after it are fine.
TEST(Win32Files, SyncFilesReportsTheFirstFailure) {
  TTempDir dir;
  const std::string a = dir.File("a");
  const std::string b = dir.File("b");
  const std::string missing = dir.File("missing");
  WriteFileBytes(a, {1});
  WriteFileBytes(b, {2, 3});
  const struct {
    const char* Name;
    std::vector<std::string> Paths;
    int Error;
  } cases[] = {
      {"two files", {a, b}, 0},
      {"none", {}, 0},
      {"missing first", {missing, a}, ERROR_FILE_NOT_FOUND},
      {"missing last", {a, b, missing}, ERROR_FILE_NOT_FOUND},
      {"a directory", {a, dir.Path()}, ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(OsSyncFiles(c.Paths), c.Error);
  }
  EXPECT_EQ(test::ReadFileBytes(a), (test::TBytes{1}));
  EXPECT_EQ(test::ReadFileBytes(b), (test::TBytes{2, 3}));
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

// ---- Interrupts ----

// Ctrl-C after 300 ms; a wait still running three seconds later ends the
// process with 11.
DWORD WINAPI PressCtrlCLater(LPVOID) {
  Sleep(300);
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  Sleep(3000);
  std::_Exit(11);
}

// Set in the environment of a test run again as a child below.
constexpr const char* InterruptChild = "MENDRIX_INTERRUPT_CHILD";

// In a child, on a console of its own (Ctrl-C goes to every process on a
// console, and the mark stays): a key wait under way when Ctrl-C comes ends
// with 0 soon after it, and so does every later wait. The exit code tells
// which step failed.
[[noreturn]] void InterruptAKeyWait(bool fromConsole) {
  OsStartup(0, nullptr);
  OsCatchInterrupts();
  SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl-C may come ignored from the runner
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);  // the new console's
  HANDLE writer = nullptr;  // kept open: the pipe stays silent
  DWORD mode = 0;
  if (fromConsole ? !GetConsoleMode(input, &mode) : !CreatePipe(&input, &writer, nullptr, 0)) {
    std::_Exit(3);
  }
  SetStdHandle(STD_INPUT_HANDLE, input);
  if (OsInterruptPending()) std::_Exit(4);
  HANDLE thread = CreateThread(nullptr, 0, PressCtrlCLater, nullptr, 0, nullptr);
  if (thread == nullptr) std::_Exit(5);
  DWORD start = GetTickCount();
  if (OsWaitKey(false, 0) != 0) std::_Exit(6);
  DWORD took = Since(start);
  if (!OsInterruptPending()) std::_Exit(7);
  if (took < 250 || took > 1500) std::_Exit(8);
  start = GetTickCount();
  if (OsWaitKey(true, 5000) != 0 || Since(start) > 200) std::_Exit(9);
  std::_Exit(0);  // before the helper's deadline
}

// Runs the current test again in a process of its own, on a new console
// without a window, and gives its exit code (1000: not started, 1001: never
// ended). A console the child made itself would need a desktop, and under
// Wine the desktop process holds on to the test runner's output for seconds.
DWORD RunOnNewConsole() {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string line = "\"" + OsProgramPath() + "\" --gtest_filter=" + test->test_suite_name() +
                     "." + test->name();
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  SetEnvironmentVariableA(InterruptChild, "1");
  BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                nullptr, nullptr, &startup, &process);
  SetEnvironmentVariableA(InterruptChild, nullptr);
  if (!started) return 1000;
  CloseHandle(process.hThread);
  DWORD code = 1001;
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, 1001);
  }
  CloseHandle(process.hProcess);
  return code;
}

TEST(Win32Interrupt, CtrlCEndsAConsoleKeyWait) {
  if (std::getenv(InterruptChild) != nullptr) InterruptAKeyWait(true);
  EXPECT_EQ(RunOnNewConsole(), 0u);
}

TEST(Win32Interrupt, CtrlCEndsAKeyWaitOnASilentPipe) {
  if (std::getenv(InterruptChild) != nullptr) InterruptAKeyWait(false);
  EXPECT_EQ(RunOnNewConsole(), 0u);
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
