#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "crawl/base/fetched_file.h"
#include "platform/file_system.h"

// Files cut short, kept aside under .kelvane/partial/ until a later run that goes on with them
// asks their servers for the rest: never in the copy, where a part would pass for a file.
class PartialFiles {
 public:
  explicit PartialFiles(const std::string& saveToDirectory);

  struct Kept {
    std::string path;  // the bytes that came
    int64_t size = 0;
    std::string validator;  // what the rest is asked for on (If-Range): a strong ETag or a date
  };
  // The part kept of an address, where there is one.
  std::optional<Kept> Find(const std::string& url);
  // Keeps what came of a file whose answer can be asked again from where it stopped: bytes as
  // they were sent (nothing decoded), and a validator to tie the rest to them.
  void Keep(const std::string& url, FetchedFile& file);
  void Drop(const std::string& url);
  // A kept part, opened to read.
  FileDescriptor Open(const Kept& kept) { return m_directory.OpenRegularFile(kept.path); }

 private:
  std::string PathOf(const std::string& url, const char* ending) const;

  ConfinedDirectory m_directory;
  std::string m_root;  // .kelvane/partial beneath the save-to directory
};

// The first byte of a Content-Range ("bytes 100-199/200"); nothing where it names none.
std::optional<int64_t> RangeStart(const std::string& contentRange);
