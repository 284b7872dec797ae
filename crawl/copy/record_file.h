#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "crawl/base/fingerprints.h"
#include "crawl/copy/record_lines.h"
#include "platform/file_system.h"

// The store's records: lines added to a file beside the copy, each file's latest line found
// again through fingerprint indexes over its path and its addresses, and read from the file when
// asked for. Memory holds some fifty bytes a file, whatever the site. A record whose line cannot
// be written (a full disk), or that holds for this crawl alone, is held in memory instead.
class RecordFile {
 public:
  RecordFile(ConfinedDirectory& directory, std::string path);

  // Reads the records a crawl left there, a block at a time; how many lines the file has.
  size_t Load();
  std::optional<StoreRecord> Find(const std::string& below) const;
  // The path below of the file last recorded for an address: the one asked for it, or, unless
  // askedOnly, then the one that answered with it.
  std::optional<std::string> PathOf(const std::string& url, bool askedOnly) const;
  // Adds the record's line, which becomes the path's record.
  // Whether PathOf(url, false) is the path below, as the indexes alone tell: the address asked
  // for no other file, answered for one alone, and that is the path's. Two 64-bit fingerprints
  // of texts alike in neither leading to one line is taken for proof.
  bool SurelyPathOf(const std::string& url, const std::string& below) const;
  void Append(const std::string& below, const StoreRecord& record);
  // The path's record for this crawl, with no line.
  void Hold(const std::string& below, const StoreRecord& record);
  // The path has no record any more, for this crawl.
  void Forget(const std::string& below);
  size_t Size() const { return m_paths.Size(); }
  // Writes the file anew with the records that hold, one line each.
  void Compact();

 private:
  struct Line {
    std::string below;
    StoreRecord record;
    uint64_t after = 0;  // held: the file's length when it was, which orders it among lines
  };
  static constexpr uint64_t kHeld = uint64_t{1} << 63;  // an index in m_held, not an offset

  std::optional<Line> At(uint64_t where) const;
  // A line of the file as it is written, without its end.
  std::optional<std::string> RawAt(uint64_t where) const;
  std::optional<std::string> FieldAt(uint64_t where, RecordField field) const;
  // Orders records by when they were made.
  std::tuple<uint64_t, int, uint64_t> Age(uint64_t where) const;
  std::optional<uint64_t> WhereOf(const std::string& below) const;
  // The newest record whose address (asked, or answered) is url.
  std::optional<uint64_t> Newest(const FingerprintIndex& index, const std::string& url,
                                 bool asked) const;
  void Index(const std::string& below, const StoreRecord& record, uint64_t where);
  // Each whole line of the file from the start, with its offset.
  template <typename Each>
  size_t ReadLines(Each&& each) const;
  bool OpenToAppend();
  void Reset();

  ConfinedDirectory& m_directory;
  const std::string m_path;
  FileDescriptor m_fd;
  bool m_writable = false;
  bool m_torn = false;  // the file ends in a line cut short by a crash
  uint64_t m_end = 0;
  FingerprintIndex m_paths;     // path below -> where its record is
  FingerprintIndex m_answered;  // address that answered -> where
  FingerprintIndex m_asked;     // address asked for, where it is not the one that answered
  std::vector<Line> m_held;
  // The lines read last, by where they start: a file's record is asked for several times in a
  // row. Lines never change where they are, until the file is written anew.
  struct Cached {
    uint64_t where = kHeld;
    std::string line;
  };
  size_t CacheSlot(uint64_t where) const;
  mutable std::array<Cached, 1024> m_cache;
  // The file's whole pages read last, by their number: the lines of a page are asked for
  // together when links are converted, and a copy's records of a few megabytes are read once.
  // Bytes written are never written over, so a page read whole stays as it is.
  static constexpr size_t kPage = 4096;
  struct Page {
    uint64_t number = UINT64_MAX;
    std::string bytes;
  };
  // The page's bytes (fewer at the end of the file); empty where it cannot be read.
  std::string_view PageAt(uint64_t number, std::string& scratch) const;
  mutable std::vector<Page> m_pages;
  mutable std::mutex m_cacheLock;
};
