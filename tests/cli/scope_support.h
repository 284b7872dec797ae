#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "support/loopback_server.h"
#include "support/site_generator.h"

using Paths = std::set<std::string>;

// Paths below /site/, as the server sees them and as the copy stores them.
inline Paths Requested(const RawServer& server, size_t from) {
  Paths paths;
  const std::vector<std::string> lines = server.RequestLines();
  for (size_t i = from; i < lines.size(); ++i)
    paths.insert(lines[i].substr(4 + 6, lines[i].rfind(' ') - 10));
  return paths;
}

inline Paths Stored(const std::string& root) {
  Paths paths;
  if (!std::filesystem::exists(root))
    return paths;
  for (const auto& [path, bytes] : ReadTree(root))
    paths.insert(path);
  return paths;
}
