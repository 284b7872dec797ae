// Writes kelvane-cli's bash completion, made from its table of options, to the named file.
#include <cstdio>

#include "cli/command_line.h"

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr)
    return 1;
  const std::string script = BashCompletion();
  bool written = std::fwrite(script.data(), 1, script.size(), out) == script.size();
  return std::fclose(out) == 0 && written ? 0 : 1;
}
