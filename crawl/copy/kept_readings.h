#pragma once

// What the crawl's reading of each file found, kept on disk for converting its links later.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crawl/copy/link_converter.h"
#include "crawl/rules/crawl_rules.h"
#include "platform/file_system.h"

// A reference as the crawl read it: its place, the address it names and its "#..." as written.
struct KeptReference {
  ReferencePlace place;
  std::string address;
  std::string fragment;
};

// A file's address and, where its reading was whole, its references as the crawl read them,
// for a text of this size and hash.
struct KeptReading {
  FileKind kind = FileKind::Other;
  std::string touched;  // the address the file was kept for
  std::string address;  // the address it was read as
  bool read = false;    // the references below are the file's; otherwise it is read again
  size_t size = 0;
  size_t hash = 0;
  std::optional<ReferencePlace> base;  // the <base href> value
  std::vector<KeptReference> references;
};

// The readings kept in an unnamed file beneath the save-to directory, which goes with the
// process: memory holds none of them, whatever the site, and each is read back when its file is
// converted.
class KeptReadings {
 public:
  static constexpr uint64_t kNone = UINT64_MAX;
  // Where the spill goes; none: nothing is kept.
  void SetSpill(std::unique_ptr<SpoolFile> spill) { m_spill = std::move(spill); }
  // Keeps the file's address and what reading it found; where it went, or kNone.
  uint64_t Keep(const std::string& address, FileReading& reading);
  // Writes out what is still in memory: before any Read.
  void Flush();
  // The reading kept there; nothing where it cannot be read back.
  std::optional<KeptReading> Read(uint64_t where) const;

 private:
  // The bytes from where on, at most most of them: from the file, or what is still in memory.
  std::optional<std::string> BytesAt(uint64_t where, uint64_t most) const;

  std::unique_ptr<SpoolFile> m_spill;
  uint64_t m_written = 0;  // bytes in the file; m_buffer holds those after them
  std::string m_buffer;    // kept, not yet written
  bool m_failed = false;   // the file refused a write: what follows stays in memory
};
