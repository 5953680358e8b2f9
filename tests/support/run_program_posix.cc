// Starts a program with fork and exec, feeds its standard input and collects
// its two outputs until it ends or its time runs out.
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

  int input[2], output[2], error[2];
  if (pipe(input) != 0 || pipe(output) != 0 || pipe(error) != 0) return result;

  pid_t pid = fork();
  if (pid == 0) {
    dup2(input[0], 0);
    dup2(output[1], 1);
    dup2(error[1], 2);
    for (int fd : {input[0], input[1], output[0], output[1], error[0], error[1]}) close(fd);
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
  close(input[0]);
  close(output[1]);
  close(error[1]);
  if (pid < 0) {
    close(input[1]);
    close(output[0]);
    close(error[0]);
    return result;
  }
  signal(SIGPIPE, SIG_IGN);
  fcntl(input[1], F_SETFL, O_NONBLOCK);

  std::size_t written = 0;
  int inFd = input[1];
  if (request.Input.empty()) {
    close(inFd);
    inFd = -1;
  }
  int outFd = output[0], errFd = error[0];
  std::int64_t deadline = NowMilliseconds() + std::int64_t{request.TimeoutSeconds} * 1000;
  while (outFd >= 0 || errFd >= 0) {
    std::int64_t left = deadline - NowMilliseconds();
    if (left <= 0) {
      result.TimedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    struct pollfd fds[3];
    int count = 0;
    if (outFd >= 0) fds[count++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[count++] = {errFd, POLLIN, 0};
    if (inFd >= 0) fds[count++] = {inFd, POLLOUT, 0};
    int n = poll(fds, static_cast<nfds_t>(count), static_cast<int>(left > 200 ? 200 : left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < count; ++i) {
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
  if (inFd >= 0) close(inFd);
  if (outFd >= 0) close(outFd);
  if (errFd >= 0) close(errFd);
  int status = 0;
  struct rusage usage = {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  result.MaxResidentKb = usage.ru_maxrss;
  if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);
  return result;
}

}  // namespace mendrix::test
