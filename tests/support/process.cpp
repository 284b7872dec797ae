#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace {

[[noreturn]] void Exec(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& a : argv)
    pointers.push_back(const_cast<char*>(a.c_str()));
  pointers.push_back(nullptr);
  execv(pointers[0], pointers.data());
  _exit(127);
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status))
    return WEXITSTATUS(status);
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::function<void(pid_t)>& whileRunning) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork");
  if (pid == 0) {
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    Exec(argv);
  }
  close(out[1]);
  close(err[1]);
  std::thread watcher;
  if (whileRunning)
    watcher = std::thread(whileRunning, pid);
  ProcessResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0)
      continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0)
        continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
      }
    }
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.peakMemoryKb = usage.ru_maxrss;
  if (watcher.joinable())
    watcher.join();
  result.exitCode = ExitCodeOf(status);
  return result;
}

pid_t StartProcess(const std::vector<std::string>& argv) {
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork");
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    Exec(argv);
  }
  return pid;
}
