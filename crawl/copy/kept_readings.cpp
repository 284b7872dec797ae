// What the crawl's reading of each file found, kept on disk for converting its links later.
#include "crawl/copy/kept_readings.h"

#include <algorithm>
#include <cstring>

namespace {

// Written out a block at a time.
constexpr size_t kReadingsBlock = size_t{64} << 10;

void Put(std::string& out, uint64_t value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutText(std::string& out, std::string_view text) {
  Put(out, text.size());
  out.append(text);
}

void PutPlace(std::string& out, const ReferencePlace& place) {
  Put(out, (uint64_t{place.begin} << 32) | place.end);
  Put(out, (uint64_t{place.valueBegin} << 32) | place.valueEnd);
  out += place.quote;
  out += static_cast<char>((place.attribute ? 1 : 0) | (place.inDecodedValue ? 2 : 0));
}

// Reads back what the Put functions wrote; false once the bytes run out.
struct Reader {
  std::string_view bytes;
  bool Get(uint64_t& value) {
    if (bytes.size() < sizeof value)
      return false;
    std::memcpy(&value, bytes.data(), sizeof value);
    bytes.remove_prefix(sizeof value);
    return true;
  }
  bool GetText(std::string& text) {
    uint64_t size = 0;
    if (!Get(size) || bytes.size() < size)
      return false;
    text.assign(bytes.substr(0, size));
    bytes.remove_prefix(size);
    return true;
  }
  bool GetPlace(ReferencePlace& place) {
    uint64_t span = 0;
    uint64_t value = 0;
    if (!Get(span) || !Get(value) || bytes.size() < 2)
      return false;
    place.begin = static_cast<uint32_t>(span >> 32);
    place.end = static_cast<uint32_t>(span);
    place.valueBegin = static_cast<uint32_t>(value >> 32);
    place.valueEnd = static_cast<uint32_t>(value);
    place.quote = bytes[0];
    place.attribute = (bytes[1] & 1) != 0;
    place.inDecodedValue = (bytes[1] & 2) != 0;
    bytes.remove_prefix(2);
    return true;
  }
};

}  // namespace

uint64_t KeptReadings::Keep(const std::string& address, FileReading& reading) {
  if (m_spill == nullptr)
    return kNone;
  const std::vector<PageReference>& references = reading.links.references;
  bool read = reading.whole && reading.resolved.size() == references.size();
  std::string kept;
  uint64_t count = 0;
  for (size_t i = 0; read && i < references.size(); ++i) {
    // What names no web address, or stands where it cannot be told, stays as written.
    if (references[i].begin == std::string::npos || reading.resolved[i].empty())
      continue;
    PutPlace(kept, PlaceOf(references[i]));
    PutText(kept, reading.resolved[i]);
    const size_t hash = references[i].link.find('#');
    PutText(kept, hash == std::string::npos ? std::string_view()
                                            : std::string_view(references[i].link).substr(hash));
    ++count;
  }
  // References that take more room than the text they were read from are cheaper read again:
  // the file stays within the size of the pages.
  if (kept.size() > reading.size) {
    read = false;
    kept.clear();
    count = 0;
  }
  std::string record;
  Put(record, static_cast<uint64_t>(reading.kind));
  PutText(record, address);
  PutText(record, reading.address);
  Put(record, read ? 1 : 0);
  Put(record, reading.size);
  Put(record, reading.hash);
  const bool base = read && reading.links.baseBegin != std::string::npos;
  Put(record, base ? 1 : 0);
  if (base) {
    ReferencePlace place;
    place.begin = static_cast<uint32_t>(reading.links.baseBegin);
    place.end = static_cast<uint32_t>(reading.links.baseEnd);
    place.quote = reading.links.baseQuote;
    PutPlace(record, place);
  }
  Put(record, count);
  record += kept;
  const uint64_t where = m_written + m_buffer.size();
  Put(m_buffer, record.size());
  m_buffer += record;
  if (m_buffer.size() >= kReadingsBlock)
    Flush();
  return where;
}

void KeptReadings::Flush() {
  if (m_failed || m_buffer.empty())
    return;
  if (!m_spill->Write(m_buffer.data(), m_buffer.size())) {
    m_failed = true;  // what the file refused, and what follows, stays in memory
    return;
  }
  m_written += m_buffer.size();
  m_buffer.clear();
}

std::optional<std::string> KeptReadings::BytesAt(uint64_t where, uint64_t most) const {
  if (where >= m_written) {
    const uint64_t at = where - m_written;
    if (at >= m_buffer.size())
      return std::nullopt;
    return m_buffer.substr(static_cast<size_t>(at), static_cast<size_t>(most));
  }
  std::string bytes(static_cast<size_t>(std::min(most, m_written - where)), '\0');
  if (!m_spill->ReadAt(static_cast<int64_t>(where), bytes.data(), bytes.size()))
    return std::nullopt;
  return bytes;
}

std::optional<KeptReading> KeptReadings::Read(uint64_t where) const {
  if (m_spill == nullptr || where == kNone)
    return std::nullopt;
  // Most readings are a few hundred bytes: one read takes them with their size.
  std::optional<std::string> bytes = BytesAt(where, 1024);
  uint64_t size = 0;
  if (!bytes || bytes->size() < sizeof size)
    return std::nullopt;
  std::memcpy(&size, bytes->data(), sizeof size);
  if (size > bytes->size() - sizeof size) {
    bytes = BytesAt(where, size + sizeof size);
    if (!bytes || bytes->size() != size + sizeof size)
      return std::nullopt;
  }
  Reader reader{std::string_view(*bytes).substr(sizeof size, size)};
  KeptReading reading;
  uint64_t kind = 0, read = 0, base = 0, count = 0;
  if (!reader.Get(kind) || !reader.GetText(reading.touched) || !reader.GetText(reading.address) ||
      !reader.Get(read) || !reader.Get(reading.size) || !reader.Get(reading.hash) ||
      !reader.Get(base) || (base != 0 && !reader.GetPlace(reading.base.emplace())) ||
      !reader.Get(count))
    return std::nullopt;
  reading.kind = static_cast<FileKind>(kind);
  reading.read = read != 0;
  reading.references.resize(count);
  for (KeptReference& reference : reading.references) {
    if (!reader.GetPlace(reference.place) || !reader.GetText(reference.address) ||
        !reader.GetText(reference.fragment))
      return std::nullopt;
  }
  return reading;
}
