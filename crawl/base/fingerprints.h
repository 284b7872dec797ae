#pragma once

// Compact sets and indexes over texts (addresses, paths) for crawls of millions of files: a text
// is kept as a fingerprint of a few bytes, not as itself.
#include <cstdint>
#include <string_view>
#include <vector>

// 128 bits of a text, keyed per process so that no page can be written to make two collide.
struct Fingerprint {
  uint64_t high = 0;
  uint64_t low = 0;
  bool operator==(const Fingerprint&) const = default;
};
Fingerprint FingerprintOf(std::string_view text);

// Texts seen, each as its 128-bit fingerprint: two texts are taken for one only with a
// likelihood far below a disk's error rate, even among billions.
class FingerprintSet {
 public:
  // True when the text was not in the set.
  bool Insert(std::string_view text);
  bool Contains(std::string_view text) const;
  size_t Size() const { return m_size; }
  void Clear();

 private:
  size_t Slot(const Fingerprint& print) const;
  void Grow();

  std::vector<Fingerprint> m_slots;  // {0, 0} is an empty slot
  size_t m_size = 0;
};

// Values (offsets, indexes) by the 64-bit fingerprint of a text. Several texts may share a
// fingerprint, so a key leads to candidates that the caller confirms against the text itself.
class FingerprintIndex {
 public:
  void Add(std::string_view key, uint64_t value);
  // The values filed under the key's fingerprint: those of the key, and perhaps of others.
  std::vector<uint64_t> Candidates(std::string_view key) const;
  // Takes one value off the key; false when it was not there.
  bool Remove(std::string_view key, uint64_t value);
  size_t Size() const { return m_size; }
  void Clear();

 private:
  struct Entry {
    uint64_t print = 0;  // 0: never used; 1: removed
    uint64_t value = 0;
  };
  static uint64_t PrintOf(std::string_view key);
  void Place(Entry entry);
  void Grow();

  std::vector<Entry> m_entries;
  size_t m_size = 0;
  size_t m_used = 0;  // entries not empty, removed ones counted
};
