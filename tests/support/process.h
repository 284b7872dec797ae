#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
  int exitCode = -1;  // the exit status, or 128 + signal for a process killed by one
  std::string out;
  std::string err;
  long peakMemoryKb = 0;  // the program's largest resident size
};

// Runs a program with no standard input and collects what it prints. whileRunning, if given,
// runs on another thread once the program has started, with its process id.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::function<void(pid_t)>& whileRunning = {});

// Starts a program in the background with its output discarded; returns its process id.
pid_t StartProcess(const std::vector<std::string>& argv);
