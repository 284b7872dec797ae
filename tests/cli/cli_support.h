#pragma once

#include <string>
#include <vector>

#include "support/process.h"

// kelvane-cli run with these arguments, as a script runs it.
inline ProcessResult Cli(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), KELVANE_CLI_PATH);
  return RunProcess(arguments);
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// How many times part occurs in text, overlaps included.
inline size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}
