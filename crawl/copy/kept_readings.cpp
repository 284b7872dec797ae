// What the crawl's reading of each file found, kept compactly for converting its links later.
#include "crawl/copy/kept_readings.h"

namespace {

// References kept from the crawl's reading, about 28 bytes each, and the bytes of the addresses
// they name: beyond these, files are read again when converted.
constexpr size_t kMostKeptReferences = size_t{1} << 21;
constexpr size_t kMostNameBytes = size_t{64} << 20;

}  // namespace

uint32_t KeptReadings::NameOf(std::string_view text) {
  const auto known = m_nameIndex.find(text);
  if (known != m_nameIndex.end())
    return known->second;
  const auto index = static_cast<uint32_t>(m_names.size());
  m_nameIndex.emplace(m_names.emplace_back(text), index);
  m_nameBytes += text.size();
  return index;
}

std::unique_ptr<const KeptReading> KeptReadings::Keep(FileReading& reading) {
  const std::vector<PageReference>& references = reading.links.references;
  if (!reading.whole || reading.resolved.size() != references.size() ||
      m_keptReferences + references.size() > kMostKeptReferences || m_nameBytes > kMostNameBytes)
    return nullptr;
  auto kept = std::make_unique<KeptReading>();
  kept->kind = reading.kind;
  kept->address = std::move(reading.address);
  kept->size = reading.size;
  kept->hash = reading.hash;
  if (reading.links.baseBegin != std::string::npos) {
    ReferencePlace& base = kept->base.emplace();
    base.begin = static_cast<uint32_t>(reading.links.baseBegin);
    base.end = static_cast<uint32_t>(reading.links.baseEnd);
    base.quote = reading.links.baseQuote;
  }
  kept->references.reserve(references.size());
  for (size_t i = 0; i < references.size(); ++i) {
    // What names no web address, or stands where it cannot be told, stays as written.
    if (references[i].begin == std::string::npos || reading.resolved[i].empty())
      continue;
    KeptReference& reference = kept->references.emplace_back();
    reference.place = PlaceOf(references[i]);
    reference.address = NameOf(reading.resolved[i]);
    const size_t hash = references[i].link.find('#');
    if (hash != std::string::npos)
      reference.fragment = NameOf(std::string_view(references[i].link).substr(hash));
    if (m_nameBytes > kMostNameBytes)
      return nullptr;
  }
  m_keptReferences += kept->references.size();
  return kept;
}
