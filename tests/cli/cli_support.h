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
