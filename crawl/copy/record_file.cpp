#include "crawl/copy/record_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/ascii.h"

namespace {

constexpr size_t kRecordsBlock = size_t{1} << 20;
// Pages of records kept read: 8 MB, the records of some 40,000 files.
constexpr size_t kCachedPages = 2048;

}  // namespace

RecordFile::RecordFile(ConfinedDirectory& directory, std::string path)
    : m_directory(directory), m_path(std::move(path)) {}

template <typename Each>
size_t RecordFile::ReadLines(Each&& each) const {
  size_t lines = 0;
  std::string carry;  // the start of a line the last block cut
  uint64_t carryAt = 0;
  std::string block(kRecordsBlock, '\0');
  for (uint64_t offset = 0;;) {
    const ssize_t n = ::pread(m_fd.Get(), block.data(), block.size(), static_cast<off_t>(offset));
    if (n <= 0)
      break;
    std::string_view text(block.data(), static_cast<size_t>(n));
    for (size_t start = 0;;) {
      const size_t end = text.find('\n', start);
      if (end == std::string_view::npos) {
        if (carry.empty())
          carryAt = offset + start;
        carry.append(text.substr(start));
        break;
      }
      ++lines;
      if (carry.empty()) {
        each(text.substr(start, end - start), offset + start);
      } else {
        carry.append(text.substr(start, end - start));
        each(std::string_view(carry), carryAt);
        carry.clear();
      }
      start = end + 1;
    }
    offset += static_cast<uint64_t>(n);
  }
  return lines;
}

size_t RecordFile::Load() {
  if (!m_fd.Valid())
    m_fd = m_directory.OpenOwnFile(m_path, false);
  if (!m_fd.Valid())
    return 0;
  const size_t lines = ReadLines([this](std::string_view line, uint64_t at) {
    if (std::optional<std::pair<std::string, StoreRecord>> read = ReadRecordLine(line))
      Index(read->first, read->second, at);
  });
  struct stat info {};
  m_end = ::fstat(m_fd.Get(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
  char last = '\n';
  m_torn = m_end > 0 && ::pread(m_fd.Get(), &last, 1, static_cast<off_t>(m_end - 1)) == 1 &&
           last != '\n';
  return lines;
}

size_t RecordFile::CacheSlot(uint64_t where) const {
  return (where ^ (where >> 8)) % m_cache.size();
}

std::string_view RecordFile::PageAt(uint64_t number, std::string& scratch) const {
  if (m_pages.empty())
    m_pages.resize(kCachedPages);
  Page& page = m_pages[number % m_pages.size()];
  if (page.number == number)
    return page.bytes;
  scratch.resize(kPage);
  const ssize_t n = ::pread(m_fd.Get(), scratch.data(), kPage, static_cast<off_t>(number * kPage));
  scratch.resize(n > 0 ? static_cast<size_t>(n) : 0);
  if (scratch.size() < kPage)
    return scratch;  // the end of the file, which grows
  page.number = number;
  page.bytes = scratch;
  return page.bytes;
}

std::optional<std::string> RecordFile::RawAt(uint64_t where) const {
  std::lock_guard lock(m_cacheLock);
  Cached& cached = m_cache[CacheSlot(where)];
  if (cached.where == where)
    return cached.line;
  std::string line;
  std::string scratch;
  for (uint64_t offset = where;;) {
    const std::string_view page = PageAt(offset / kPage, scratch);
    const size_t start = offset % kPage;
    if (page.size() <= start)
      return std::nullopt;
    const std::string_view text = page.substr(start);
    const size_t end = text.find('\n');
    line.append(text.substr(0, end));
    if (end != std::string_view::npos)
      break;
    if (page.size() < kPage)
      return std::nullopt;  // a line cut short
    offset += text.size();
  }
  cached = Cached{where, line};
  return line;
}

std::optional<RecordFile::Line> RecordFile::At(uint64_t where) const {
  if ((where & kHeld) != 0)
    return m_held[where & ~kHeld];
  std::optional<std::string> raw = RawAt(where);
  std::optional<std::pair<std::string, StoreRecord>> read =
      raw ? ReadRecordLine(*raw) : std::nullopt;
  if (!read)
    return std::nullopt;
  return Line{std::move(read->first), std::move(read->second)};
}

std::optional<std::string> RecordFile::FieldAt(uint64_t where, RecordField field) const {
  if ((where & kHeld) != 0) {
    const Line& line = m_held[where & ~kHeld];
    return field == RecordField::Path  ? line.below
           : field == RecordField::Url ? line.record.url
                                       : line.record.asked;
  }
  std::optional<std::string> raw = RawAt(where);
  return raw ? RecordLineField(*raw, field) : std::nullopt;
}

std::optional<uint64_t> RecordFile::WhereOf(const std::string& below) const {
  for (uint64_t where : m_paths.Candidates(below)) {
    if (FieldAt(where, RecordField::Path) == below)
      return where;
  }
  return std::nullopt;
}

std::optional<StoreRecord> RecordFile::Find(const std::string& below) const {
  for (uint64_t where : m_paths.Candidates(below)) {
    std::optional<Line> line = At(where);
    if (line && line->below == below)
      return std::move(line->record);
  }
  return std::nullopt;
}

std::optional<uint64_t> RecordFile::Newest(const FingerprintIndex& index, const std::string& url,
                                           bool asked) const {
  std::optional<uint64_t> newest;
  for (uint64_t where : index.Candidates(url)) {
    if (FieldAt(where, asked ? RecordField::Asked : RecordField::Url) == url &&
        (!newest || Age(where) > Age(*newest)))
      newest = where;
  }
  return newest;
}

std::tuple<uint64_t, int, uint64_t> RecordFile::Age(uint64_t where) const {
  // A record held came after the lines before the file's length then, before those after.
  if ((where & kHeld) != 0)
    return {m_held[where & ~kHeld].after, 0, where & ~kHeld};
  return {where, 1, 0};
}

std::optional<std::string> RecordFile::PathOf(const std::string& url, bool askedOnly) const {
  // The file asked for as that address first: one that answered for it may be another's. A file
  // asked for by the address that answered is filed under that one alone.
  std::optional<uint64_t> where = Newest(m_asked, url, true);
  if (std::optional<uint64_t> answered = Newest(m_answered, url, true);
      answered && (!where || Age(*answered) > Age(*where)))
    where = answered;
  if (!where && !askedOnly)
    where = Newest(m_answered, url, false);
  if (!where)
    return std::nullopt;
  return FieldAt(*where, RecordField::Path);
}

bool RecordFile::SurelyPathOf(const std::string& url, const std::string& below) const {
  if (!m_asked.Candidates(url).empty())
    return false;
  const std::vector<uint64_t> answered = m_answered.Candidates(url);
  if (answered.size() != 1)
    return false;
  const std::vector<uint64_t> paths = m_paths.Candidates(below);
  return std::find(paths.begin(), paths.end(), answered.front()) != paths.end();
}

void RecordFile::Index(const std::string& below, const StoreRecord& record, uint64_t where) {
  // The addresses of the record the path held before no longer lead to it.
  Forget(below);
  m_paths.Add(below, where);
  m_answered.Add(record.url, where);
  if (!record.asked.empty() && record.asked != record.url)
    m_asked.Add(record.asked, where);
}

void RecordFile::Forget(const std::string& below) {
  const std::optional<uint64_t> old = WhereOf(below);
  if (!old)
    return;
  const std::optional<Line> line = At(*old);
  m_paths.Remove(below, *old);
  m_answered.Remove(line->record.url, *old);
  if (!line->record.asked.empty() && line->record.asked != line->record.url)
    m_asked.Remove(line->record.asked, *old);
}

bool RecordFile::OpenToAppend() {
  if (m_writable)
    return true;
  m_directory.MakeDirectory(std::string(BeforeLast(m_path, '/')));
  FileDescriptor fd = m_directory.OpenOwnFile(m_path, true);
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
    return false;
  m_fd = std::move(fd);
  m_writable = true;
  m_end = static_cast<uint64_t>(info.st_size);
  char last = '\n';
  m_torn = m_end > 0 && ::pread(m_fd.Get(), &last, 1, static_cast<off_t>(m_end - 1)) == 1 &&
           last != '\n';
  return true;
}

void RecordFile::Append(const std::string& below, const StoreRecord& record) {
  if (!OpenToAppend())
    return Hold(below, record);
  // A line torn by a crash is ended before the next record is added; it lacks its last field,
  // so it is never read as a record, then or later.
  const std::string text = RecordLine(below, record);
  const std::string line = std::string(m_torn ? "\n" : "") + text;
  const uint64_t where = m_end + (m_torn ? 1 : 0);
  if (!WriteAll(m_fd.Get(), line.data(), line.size())) {
    struct stat info {};
    m_end = ::fstat(m_fd.Get(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : m_end;
    m_torn = true;  // what went in of the line is no record
    return Hold(below, record);
  }
  // Another crawl into the same directory may have added lines since: the line is where the
  // write left the file's end.
  const off_t end = ::lseek(m_fd.Get(), 0, SEEK_CUR);
  const bool moved = end >= static_cast<off_t>(line.size());
  const uint64_t at = moved ? static_cast<uint64_t>(end) - text.size() : where;
  m_end = moved ? static_cast<uint64_t>(end) : m_end + line.size();
  m_torn = false;
  Index(below, record, at);
  std::lock_guard lock(m_cacheLock);
  m_cache[CacheSlot(at)] = Cached{at, text.substr(0, text.size() - 1)};  // without its end
}

void RecordFile::Hold(const std::string& below, const StoreRecord& record) {
  m_held.push_back(Line{below, record, m_end});
  Index(below, record, kHeld | (m_held.size() - 1));
}

void RecordFile::Reset() {
  m_cache.fill(Cached());
  m_pages.clear();
  m_fd = FileDescriptor();
  m_writable = false;
  m_paths.Clear();
  m_answered.Clear();
  m_asked.Clear();
  m_held.clear();
}

void RecordFile::Compact() {
  std::string text;
  if (m_fd.Valid()) {
    ReadLines([&](std::string_view line, uint64_t at) {
      std::optional<std::pair<std::string, StoreRecord>> read = ReadRecordLine(line);
      if (read && WhereOf(read->first) == at)
        text += RecordLine(read->first, read->second);
    });
  }
  for (size_t i = 0; i < m_held.size(); ++i) {
    if (WhereOf(m_held[i].below) == (kHeld | i))
      text += RecordLine(m_held[i].below, m_held[i].record);
  }
  if (m_directory.WriteFileAtomically(m_path, text.data(), text.size()) != WriteResult::Written)
    return;
  Reset();
  Load();
}
