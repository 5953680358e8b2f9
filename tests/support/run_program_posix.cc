// Starts a program with fork and exec, feeds its standard input and collects
// its two outputs until it ends or its time runs out; a stream can also be
// left closed, or be a pipe nobody reads.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "support/run_program.h"

extern char** environ;

namespace mendrix::test {

std::string MendrixPath() { return MENDRIX_BINARY; }

namespace {

std::int64_t NowMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

TRunResult RunProgram(const TRunRequest& request) {
  TRunResult result;
  std::string program = request.Program.empty() ? MendrixPath() : request.Program;

  std::map<std::string, std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string item = *e;
    auto eq = item.find('=');
    if (eq != std::string::npos) environment[item.substr(0, eq)] = item.substr(eq + 1);
  }
  environment["TZ"] = "UTC";
  for (const auto& [name, value] : request.Environment) environment[name] = value;
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : environment) envStrings.push_back(name + "=" + value);

  // One pipe per stream that has one; [0] is the read end. The runner's end
  // of a stream whose other side is gone is closed before the start.
  const TStream kinds[3] = {request.InputStream, request.OutputStream, request.ErrorStream};
  int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  for (int i = 0; i < 3; ++i) {
    if (kinds[i] != TStream::Closed && pipe(pipes[i]) != 0) {
      for (auto& ends : pipes) {
        for (int fd : ends) {
          if (fd >= 0) close(fd);
        }
      }
      return result;
    }
  }
  for (int i = 0; i < 3; ++i) {
    int& own = pipes[i][i == 0 ? 1 : 0];
    if (kinds[i] == TStream::ReaderGone && own >= 0) {
      close(own);
      own = -1;
    }
  }

  pid_t pid = fork();
  if (pid == 0) {
    for (int i = 0; i < 3; ++i) {
      const int childEnd = pipes[i][i == 0 ? 0 : 1];
      if (childEnd >= 0) dup2(childEnd, i);
    }
    for (auto& ends : pipes) {
      for (int fd : ends) {
        if (fd > 2) close(fd);
      }
    }
    for (int i = 0; i < 3; ++i) {
      if (kinds[i] == TStream::Closed) close(i);
    }
    // As a shell starts it: the runner itself ignores SIGPIPE, and an
    // ignored signal would stay ignored across exec.
    signal(SIGPIPE, SIG_DFL);
    if (!request.WorkDir.empty() && chdir(request.WorkDir.c_str()) != 0) _exit(126);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : request.Arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  for (int i = 0; i < 3; ++i) {
    int& childEnd = pipes[i][i == 0 ? 0 : 1];
    if (childEnd >= 0) close(childEnd);
    childEnd = -1;
  }
  int inFd = pipes[0][1], outFd = pipes[1][0], errFd = pipes[2][0];
  if (pid < 0) {
    for (int fd : {inFd, outFd, errFd}) {
      if (fd >= 0) close(fd);
    }
    return result;
  }
  signal(SIGPIPE, SIG_IGN);

  std::size_t written = 0;
  if (inFd >= 0 && request.Input.empty()) {
    close(inFd);
    inFd = -1;
  }
  if (inFd >= 0) fcntl(inFd, F_SETFL, O_NONBLOCK);
  int status = 0;
  struct rusage usage = {};
  bool ended = false;
  std::int64_t deadline = NowMilliseconds() + std::int64_t{request.TimeoutSeconds} * 1000;
  while (!ended) {
    std::int64_t left = deadline - NowMilliseconds();
    if (left <= 0) {
      result.TimedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    // With both outputs done, only the end of the program is awaited.
    if (outFd < 0 && errFd < 0) {
      pid_t waited = wait4(pid, &status, WNOHANG, &usage);
      if (waited == pid || (waited < 0 && errno != EINTR)) {
        ended = true;
        break;
      }
    }
    struct pollfd fds[3];
    int count = 0;
    if (outFd >= 0) fds[count++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[count++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[count++] = {inFd, POLLOUT, 0};
    const int wait = outFd < 0 && errFd < 0 && inFd < 0 ? 5 : 200;
    int n = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left > wait ? wait : left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < count && n > 0; ++i) {
      if (fds[i].revents == 0) continue;
      int fd = fds[i].fd;
      if (fd == inFd) {
        ssize_t w = write(fd, request.Input.data() + written, request.Input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = request.Input.size();
        if (written >= request.Input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      ssize_t r = read(fd, buffer, sizeof buffer);
      if (r > 0) {
        (fd == outFd ? result.Out : result.Err).append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        close(fd);
        (fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
  for (int fd : {inFd, outFd, errFd}) {
    if (fd >= 0) close(fd);
  }
  if (!ended) {
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  result.MaxResidentKb = usage.ru_maxrss;
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  return result;
}

}  // namespace mendrix::test
