#include "crawl/base/fingerprints.h"

#include <algorithm>
#include <cstring>
#include <random>

namespace {

uint64_t Mix(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

uint64_t ProcessKey() {
  static const uint64_t key = [] {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
  }();
  return key;
}

// Two lanes of a multiply-mix hash, 8 bytes a step; the length and key start each lane.
Fingerprint Lanes(std::string_view text) {
  constexpr uint64_t k1 = 0xa0761d6478bd642fULL;
  constexpr uint64_t k2 = 0xe7037ed1a0b428dbULL;
  constexpr uint64_t k3 = 0x8ebc6af09c88c6e3ULL;
  constexpr uint64_t k4 = 0x589965cc75374cc3ULL;
  uint64_t a = ProcessKey() ^ k1 ^ text.size();
  uint64_t b = Mix(ProcessKey() ^ k2, k3 + text.size());
  for (size_t at = 0; at < text.size(); at += 8) {
    uint64_t word = 0;
    std::memcpy(&word, text.data() + at, std::min<size_t>(8, text.size() - at));
    a = Mix(a ^ word, k3);
    b = Mix(b ^ word ^ k4, k1) + a;
  }
  return Fingerprint{Mix(a ^ k2, b ^ k4), Mix(b ^ k3, a ^ k1)};
}

constexpr size_t kFirstSlots = 1024;

}  // namespace

Fingerprint FingerprintOf(std::string_view text) {
  Fingerprint print = Lanes(text);
  if (print == Fingerprint{})
    print.low = 1;  // {0, 0} marks an empty slot
  return print;
}

size_t FingerprintSet::Slot(const Fingerprint& print) const {
  const size_t mask = m_slots.size() - 1;
  for (size_t slot = print.low & mask;; slot = (slot + 1) & mask) {
    if (m_slots[slot] == print || m_slots[slot] == Fingerprint{})
      return slot;
  }
}

bool FingerprintSet::Insert(std::string_view text) {
  if ((m_size + 1) * 4 > m_slots.size() * 3)
    Grow();
  const Fingerprint print = FingerprintOf(text);
  Fingerprint& slot = m_slots[Slot(print)];
  if (slot == print)
    return false;
  slot = print;
  ++m_size;
  return true;
}

bool FingerprintSet::Contains(std::string_view text) const {
  if (m_slots.empty())
    return false;
  const Fingerprint print = FingerprintOf(text);
  return m_slots[Slot(print)] == print;
}

void FingerprintSet::Clear() {
  m_slots.clear();
  m_slots.shrink_to_fit();
  m_size = 0;
}

void FingerprintSet::Grow() {
  std::vector<Fingerprint> old = std::move(m_slots);
  m_slots.assign(old.empty() ? kFirstSlots : old.size() * 2, Fingerprint{});
  for (const Fingerprint& print : old) {
    if (!(print == Fingerprint{}))
      m_slots[Slot(print)] = print;
  }
}

uint64_t FingerprintIndex::PrintOf(std::string_view key) {
  const uint64_t print = FingerprintOf(key).high;
  return print < 2 ? print + 2 : print;  // 0 and 1 mark empty and removed entries
}

void FingerprintIndex::Place(Entry entry) {
  const size_t mask = m_entries.size() - 1;
  size_t slot = entry.print & mask;
  while (m_entries[slot].print > 1)
    slot = (slot + 1) & mask;
  if (m_entries[slot].print == 0)
    ++m_used;
  m_entries[slot] = entry;
}

void FingerprintIndex::Add(std::string_view key, uint64_t value) {
  if ((m_used + 1) * 4 > m_entries.size() * 3)
    Grow();
  Place(Entry{PrintOf(key), value});
  ++m_size;
}

std::vector<uint64_t> FingerprintIndex::Candidates(std::string_view key) const {
  std::vector<uint64_t> values;
  if (m_entries.empty())
    return values;
  const uint64_t print = PrintOf(key);
  const size_t mask = m_entries.size() - 1;
  for (size_t slot = print & mask; m_entries[slot].print != 0; slot = (slot + 1) & mask) {
    if (m_entries[slot].print == print)
      values.push_back(m_entries[slot].value);
  }
  return values;
}

bool FingerprintIndex::Remove(std::string_view key, uint64_t value) {
  if (m_entries.empty())
    return false;
  const uint64_t print = PrintOf(key);
  const size_t mask = m_entries.size() - 1;
  for (size_t slot = print & mask; m_entries[slot].print != 0; slot = (slot + 1) & mask) {
    if (m_entries[slot].print == print && m_entries[slot].value == value) {
      m_entries[slot].print = 1;
      --m_size;
      return true;
    }
  }
  return false;
}

void FingerprintIndex::Clear() {
  m_entries.clear();
  m_entries.shrink_to_fit();
  m_size = m_used = 0;
}

void FingerprintIndex::Grow() {
  std::vector<Entry> old = std::move(m_entries);
  // Removed entries go; the table doubles only when the live ones fill half of it.
  size_t slots = old.empty() ? kFirstSlots : old.size();
  while ((m_size + 1) * 2 > slots)
    slots *= 2;
  m_entries.assign(slots, Entry{});
  m_used = 0;
  for (const Entry& entry : old) {
    if (entry.print > 1)
      Place(entry);
  }
}
