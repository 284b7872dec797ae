#pragma once

// What the crawl's reading of each file found, kept compactly for converting its links later.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "crawl/copy/link_converter.h"
#include "crawl/rules/crawl_rules.h"

// A reference as the crawl read it: its place and the address it names, by its index in the
// names kept.
struct KeptReference {
  static constexpr uint32_t kNoName = UINT32_MAX;
  ReferencePlace place;
  uint32_t address = 0;
  uint32_t fragment = kNoName;  // "#..." as written
};

// A file's references as the crawl read them, for a text of this size and hash.
struct KeptReading {
  FileKind kind = FileKind::Other;
  std::string address;
  size_t size = 0;
  size_t hash = 0;
  std::optional<ReferencePlace> base;  // the <base href> value
  std::vector<KeptReference> references;
};

// The readings kept, within a bound: the addresses and fragments their references name are
// kept once each.
class KeptReadings {
 public:
  // What reading found, kept compactly; nothing when it was cut short or over the bound.
  std::unique_ptr<const KeptReading> Keep(FileReading& reading);
  // The address or fragment of that index.
  const std::string& Name(uint32_t index) const { return m_names[index]; }

 private:
  // The index of a text in m_names, added when new.
  uint32_t NameOf(std::string_view text);

  std::deque<std::string> m_names;
  std::unordered_map<std::string_view, uint32_t> m_nameIndex;
  size_t m_keptReferences = 0;
  size_t m_nameBytes = 0;
};
