#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One fetched or locally read file, held whole in memory.
struct FetchedFile {
  static constexpr int32_t kCapacity = 4194304;

  FetchedFile();

  int32_t length = 0;            // valid bytes in data; a file counts as obtained only when above 0
  std::unique_ptr<char[]> data;  // kCapacity bytes, allocated once, never cleared
  int32_t cursor = -1;           // the scanner's line position; -1 when just filled
  std::string url;               // the address the bytes stand for
};

// True when text begins with "http://" or "https://", letter case not counting.
bool IsHttpUrl(const std::string& text);

// Reads at most kCapacity bytes of a local file; length stays 0 when it cannot be read.
std::unique_ptr<FetchedFile> LoadLocal(const std::string& path);
