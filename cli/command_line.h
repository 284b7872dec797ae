#pragma once

#include <optional>
#include <string>
#include <vector>

struct CommandLine {
  std::string url;
  std::string saveTo;  // empty: the current directory
  bool verbose = false;
  bool quiet = false;
  long connectTimeoutMs = 30000;
  long stallTimeoutMs = 60000;
  std::string caCertificate;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name; on failure, error says why.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& arguments,
                                            std::string& error);

std::string UsageText();

// The save-to directory as typed (relative, with "." or "..", a trailing "/"), made absolute
// against the current directory and lexically normal, without a trailing "/" but for the root.
std::string NormalSaveTo(const std::string& typed);
