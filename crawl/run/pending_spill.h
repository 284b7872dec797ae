#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class SpoolFile;

// Links waiting in a file beneath the save-to directory, first in, first out, so that a crawl's
// pending links take no more memory past a bound, however large the site. Where the file refuses
// them (a full disk), they wait in memory instead: none is lost, and the order holds.
class PendingSpill {
 public:
  explicit PendingSpill(std::unique_ptr<SpoolFile> file);
  ~PendingSpill();

  struct Link {
    std::string url;
    int depth = 0;
    bool readOnly = false;
    bool requisite = false;
    std::string referrer;
    uint64_t where = 0;  // its place, which tells it from others
  };
  // Adds a link at the end; where it went.
  uint64_t Add(const Link& link);
  bool Empty() const { return m_count == 0; }
  // The next links, in order: a block's worth.
  std::vector<Link> Take();
  // The link added at where, while it waits.
  std::optional<Link> At(uint64_t where);
  // How many links could not be read back (the file failed), since last asked: they are gone.
  size_t TakeLost() { return std::exchange(m_lost, 0); }

 private:
  void Flush();
  // Lets go of what was taken: the file's room, or the memory where the file refused.
  void Release();
  // The link whose bytes start the text; false where they do not hold one whole.
  static bool Parse(std::string_view& text, Link& link);
  // The bytes from where on: a block of the file, or what is still in memory.
  std::string BytesAt(uint64_t where, size_t most);

  std::unique_ptr<SpoolFile> m_file;
  bool m_failed = false;  // the file refused a write: what follows stays in memory
  // Bytes before m_buffer: in the file, or taken already where the file refused them.
  uint64_t m_written = 0;
  std::string m_buffer;
  uint64_t m_read = 0;      // where the next link to take starts
  uint64_t m_released = 0;  // the file's bytes before this are given back to the disk
  size_t m_count = 0;
  size_t m_lost = 0;
};
