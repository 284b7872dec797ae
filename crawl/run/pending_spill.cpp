#include "crawl/run/pending_spill.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system.h"

namespace {

// Written and read a block at a time.
constexpr size_t kSpillBlock = size_t{256} << 10;

void Put32(std::string& out, uint32_t value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

bool Get32(std::string_view& in, uint32_t& value) {
  if (in.size() < sizeof value)
    return false;
  std::memcpy(&value, in.data(), sizeof value);
  in.remove_prefix(sizeof value);
  return true;
}

bool GetText(std::string_view& in, std::string& text) {
  uint32_t size = 0;
  if (!Get32(in, size) || in.size() < size)
    return false;
  text.assign(in.substr(0, size));
  in.remove_prefix(size);
  return true;
}

}  // namespace

PendingSpill::PendingSpill(std::unique_ptr<SpoolFile> file) : m_file(std::move(file)) {}

PendingSpill::~PendingSpill() = default;

uint64_t PendingSpill::Add(const Link& link) {
  const uint64_t where = m_written + m_buffer.size();
  Put32(m_buffer, static_cast<uint32_t>(link.depth));
  Put32(m_buffer, (link.readOnly ? 1 : 0) | (link.requisite ? 2 : 0));
  Put32(m_buffer, static_cast<uint32_t>(link.url.size()));
  m_buffer += link.url;
  Put32(m_buffer, static_cast<uint32_t>(link.referrer.size()));
  m_buffer += link.referrer;
  ++m_count;
  if (m_buffer.size() >= kSpillBlock)
    Flush();
  return where;
}

void PendingSpill::Flush() {
  if (m_failed || m_buffer.empty())
    return;
  if (m_file == nullptr || !m_file->Write(m_buffer.data(), m_buffer.size())) {
    m_failed = true;  // a write that failed may have left part: the file is read no further
    return;
  }
  m_written += m_buffer.size();
  m_buffer.clear();
}

bool PendingSpill::Parse(std::string_view& text, Link& link) {
  uint32_t depth = 0;
  uint32_t flags = 0;
  if (!Get32(text, depth) || !Get32(text, flags) || !GetText(text, link.url) ||
      !GetText(text, link.referrer))
    return false;
  link.depth = static_cast<int>(depth);
  link.readOnly = (flags & 1) != 0;
  link.requisite = (flags & 2) != 0;
  return true;
}

std::string PendingSpill::BytesAt(uint64_t where, size_t most) {
  if (where >= m_written) {
    const size_t at = static_cast<size_t>(where - m_written);
    return at < m_buffer.size() ? m_buffer.substr(at, most) : std::string();
  }
  std::string bytes(static_cast<size_t>(std::min<uint64_t>(most, m_written - where)), '\0');
  if (!m_file->ReadAt(static_cast<int64_t>(where), bytes.data(), bytes.size()))
    bytes.clear();
  return bytes;
}

std::vector<PendingSpill::Link> PendingSpill::Take() {
  std::vector<Link> links;
  // What waits in memory goes to the file first, so that links are read from one place in order.
  if (m_read >= m_written)
    Flush();
  for (size_t most = kSpillBlock; links.empty() && m_count > 0; most *= 2) {
    const std::string bytes = BytesAt(m_read, most);
    std::string_view text(bytes);
    for (Link link; m_count > 0;) {
      const size_t before = text.size();
      if (!Parse(text, link))
        break;
      link.where = m_read;
      m_read += before - text.size();
      --m_count;
      links.push_back(std::move(link));
    }
    if (bytes.size() < most && links.empty()) {
      // The bytes end before a whole link: the rest cannot be read back.
      m_lost += std::exchange(m_count, 0);
      m_read = m_written + m_buffer.size();
      break;
    }
  }
  Release();
  return links;
}

void PendingSpill::Release() {
  if (m_failed && m_read > m_written) {
    // Kept in memory, what was taken goes.
    const size_t taken =
        static_cast<size_t>(std::min<uint64_t>(m_read - m_written, m_buffer.size()));
    m_buffer.erase(0, taken);
    m_written += taken;
  }
  // What was taken from the file gives its room back, 64 KB at a time.
  const uint64_t end = std::min(m_read, m_written) & ~((uint64_t{64} << 10) - 1);
  if (m_file != nullptr && end > m_released) {
    m_file->Release(static_cast<int64_t>(m_released), static_cast<int64_t>(end - m_released));
    m_released = end;
  }
}

std::optional<PendingSpill::Link> PendingSpill::At(uint64_t where) {
  if (where < m_read)
    return std::nullopt;
  for (size_t most = 1024;; most *= 4) {
    const std::string bytes = BytesAt(where, most);
    std::string_view text(bytes);
    Link link;
    if (Parse(text, link)) {
      link.where = where;
      return link;
    }
    if (bytes.size() < most)
      return std::nullopt;
  }
}
