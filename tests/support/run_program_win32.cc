// Starts a program with CreateProcessA, feeds its standard input through a
// pipe and collects its two outputs until it ends or its time runs out; a
// stream can also be left without a handle, or be a pipe nobody reads.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/run_program.h"

namespace mendrix::test {

namespace {

// The directory of the running test program, ending in a backslash. The
// program under test is built beside it.
std::string OwnDirectory() {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

// One argument in the form the program's command-line splitter reads back:
// with blanks or control bytes it goes in a quoted run. An empty argument
// becomes a lone pair of quotes, which the program drops, as it drops an
// empty argument where the system hands them over split. A double quote
// can't be carried at all (it always opens or closes a run) and is left out.
std::string QuoteArgument(const std::string& argument) {
  std::string bare;
  for (char c : argument) {
    if (c != '"') bare += c;
  }
  bool plain = !bare.empty() && std::none_of(bare.begin(), bare.end(), [](char c) {
    return static_cast<unsigned char>(c) <= 0x20;
  });
  return plain ? bare : "\"" + bare + "\"";
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// The test's environment with TZ=UTC and the request's settings on top, as an
// environment block (names are case-insensitive on Windows).
std::string EnvironmentBlock(const TRunRequest& request) {
  std::vector<std::pair<std::string, std::string>> variables;
  auto set = [&](const std::string& name, const std::string& value) {
    for (auto& [n, v] : variables) {
      if (SameName(n, name)) {
        v = value;
        return;
      }
    }
    variables.emplace_back(name, value);
  };
  if (char* block = GetEnvironmentStringsA()) {
    for (const char* item = block; *item != '\0'; item += std::strlen(item) + 1) {
      std::string text = item;
      // Entries such as "=C:=C:\dir" begin with '=': keep them whole.
      std::size_t eq = text.find('=', 1);
      if (eq == std::string::npos) continue;
      variables.emplace_back(text.substr(0, eq), text.substr(eq + 1));
    }
    FreeEnvironmentStringsA(block);
  }
  set("TZ", "UTC");
  for (const auto& [name, value] : request.Environment) {
    set(name, value);
    // Tests name the program's temp directory with TMPDIR, which is what the
    // POSIX program reads; here the system takes it from TMP (then TEMP).
    if (name == "TMPDIR") {
      std::string windowsPath = value;
      std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
      set("TMP", windowsPath);
      set("TEMP", windowsPath);
    }
  }
  std::sort(variables.begin(), variables.end(), [](const auto& x, const auto& y) {
    return std::lexicographical_compare(
        x.first.begin(), x.first.end(), y.first.begin(), y.first.end(), [](char p, char q) {
          return std::toupper(static_cast<unsigned char>(p)) <
                 std::toupper(static_cast<unsigned char>(q));
        });
  });
  std::string block;
  for (const auto& [name, value] : variables) {
    block += name;
    block += '=';
    block += value;
    block += '\0';
  }
  block += '\0';
  return block;
}

// A pipe whose child end is inheritable and whose own end is not.
bool MakePipe(HANDLE& childEnd, HANDLE& ownEnd, bool childReads) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  childEnd = childReads ? readEnd : writeEnd;
  ownEnd = childReads ? writeEnd : readEnd;
  SetHandleInformation(ownEnd, HANDLE_FLAG_INHERIT, 0);
  return true;
}

void Drain(HANDLE from, std::string* into) {
  if (from == nullptr) return;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(from, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    into->append(buffer, read);
  }
}

void Feed(HANDLE to, const std::string* bytes) {
  if (to == nullptr) return;
  std::size_t written = 0;
  while (written < bytes->size()) {
    DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes->size() - written, 65536));
    DWORD done = 0;
    if (!WriteFile(to, bytes->data() + written, piece, &done, nullptr) || done == 0) break;
    written += done;
  }
  CloseHandle(to);  // the end of the input
}

}  // namespace

std::string MendrixPath() { return OwnDirectory() + "mendrix.exe"; }

TRunResult RunProgram(const TRunRequest& request) {
  TRunResult result;
  std::string program = request.Program.empty() ? MendrixPath() : request.Program;
  std::string commandLine = "\"" + program + "\"";
  for (const std::string& argument : request.Arguments) {
    commandLine += ' ';
    commandLine += QuoteArgument(argument);
  }
  std::string environment = EnvironmentBlock(request);

  // A closed stream gives the program no handle; a stream whose other side
  // is gone has its pipe, with the runner's end closed before the start.
  HANDLE inChild = nullptr, inOwn = nullptr, outChild = nullptr, outOwn = nullptr;
  HANDLE errChild = nullptr, errOwn = nullptr;
  bool piped = (request.InputStream == TStream::Closed || MakePipe(inChild, inOwn, true)) &&
               (request.OutputStream == TStream::Closed || MakePipe(outChild, outOwn, false)) &&
               (request.ErrorStream == TStream::Closed || MakePipe(errChild, errOwn, false));
  if (!piped) {
    result.Err = "test runner: CreatePipe failed with error " + std::to_string(GetLastError());
    for (HANDLE h : {inChild, inOwn, outChild, outOwn, errChild, errOwn}) {
      if (h != nullptr) CloseHandle(h);
    }
    return result;
  }
  const std::pair<TStream, HANDLE*> ownEnds[] = {{request.InputStream, &inOwn},
                                                 {request.OutputStream, &outOwn},
                                                 {request.ErrorStream, &errOwn}};
  for (const auto& [stream, own] : ownEnds) {
    if (stream == TStream::ReaderGone && *own != nullptr) {
      CloseHandle(*own);
      *own = nullptr;
    }
  }

  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inChild;
  startup.hStdOutput = outChild;
  startup.hStdError = errChild;
  PROCESS_INFORMATION process = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  // No console for the child: its three standard handles are the pipes, so it
  // would not use one, and making one costs a process under Wine.
  // A start can fail for a moment on a loaded machine (Wine starting its
  // processes); a missing program or directory fails for good.
  BOOL started = FALSE;
  DWORD startError = 0;
  for (int attempt = 0; attempt < 3 && !started; ++attempt) {
    if (attempt > 0) Sleep(500);
    started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                             environment.data(),
                             request.WorkDir.empty() ? nullptr : request.WorkDir.c_str(),
                             &startup, &process);
    startError = started ? 0 : GetLastError();
    if (startError == ERROR_FILE_NOT_FOUND || startError == ERROR_PATH_NOT_FOUND ||
        startError == ERROR_DIRECTORY) {
      break;
    }
  }
  // Only the child keeps its ends, so the pipes end when it does.
  for (HANDLE h : {inChild, outChild, errChild}) {
    if (h != nullptr) CloseHandle(h);
  }
  if (!started) {
    for (HANDLE h : {inOwn, outOwn, errOwn}) {
      if (h != nullptr) CloseHandle(h);
    }
    result.Err = "test runner: CreateProcess failed with error " + std::to_string(startError);
    return result;
  }
  CloseHandle(process.hThread);

  std::thread feeder(Feed, inOwn, &request.Input);
  std::thread outReader(Drain, outOwn, &result.Out);
  std::thread errReader(Drain, errOwn, &result.Err);
  DWORD limit = static_cast<DWORD>(std::max(request.TimeoutSeconds, 0)) * 1000;
  if (WaitForSingleObject(process.hProcess, limit) != WAIT_OBJECT_0) {
    result.TimedOut = true;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  feeder.join();
  outReader.join();
  errReader.join();
  for (HANDLE h : {outOwn, errOwn}) {
    if (h != nullptr) CloseHandle(h);
  }

  DWORD code = 0;
  if (!result.TimedOut && !GetExitCodeProcess(process.hProcess, &code)) {
    result.Err += "test runner: no exit code, error " + std::to_string(GetLastError());
  } else if (!result.TimedOut) {
    // An exception status (0xC0000005 and the like) is a crash, the signal of
    // this system.
    if (code >= 0xC0000000u) {
      result.Signal = static_cast<int>(code & 0xFF);
    } else {
      result.ExitCode = static_cast<int>(code);
    }
  }
  CloseHandle(process.hProcess);
  return result;
}

}  // namespace mendrix::test
