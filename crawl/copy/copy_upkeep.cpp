#include "crawl/copy/copy_upkeep.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "crawl/base/content_digest.h"
#include "crawl/base/crawl_dialog.h"
#include "crawl/copy/link_converter.h"
#include "crawl/copy/side_by_side.h"
#include "crawl/rules/web_names.h"
#include "platform/ascii.h"
#include "platform/http_date.h"

namespace {

// Header values come back to the server as they came; a line break in one would be a header of
// its own.
bool IsOneLine(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

CopyUpkeep::CopyUpkeep(const CrawlPlan& plan, const CrawlRules& rules, MirrorStore& store)
    : m_plan(plan), m_rules(rules), m_store(store) {}

std::optional<std::string> CopyUpkeep::EarlierCopy(const std::string& url,
                                                   const std::string& localPath) {
  // A file stored for the address under a name of its own (beside another's) is found by it.
  if (m_plan.completePages || m_plan.adjustExtension) {
    if (std::optional<std::string> recorded = m_store.LocalPathAsked(url);
        recorded && m_store.IsRegularFile(*recorded))
      return recorded;
  }
  // Where another's file has the name, a file this address answered for, stored beside it
  // under another address, is its copy too (a directory's page, asked for without its "/").
  const auto answered = [&]() -> std::optional<std::string> {
    std::optional<std::string> recorded =
        m_plan.completePages ? m_store.LocalPathOf(url) : std::nullopt;
    return recorded && m_store.IsRegularFile(*recorded) ? recorded : std::nullopt;
  };
  // By the name alone, as one at a time; with adjusted names a directory at the plain name is
  // no copy.
  if (!m_plan.adjustExtension) {
    if (!m_store.Exists(localPath) || m_store.Reserved(localPath))
      return std::nullopt;
    return HeldByAnother(localPath, url) ? answered() : localPath;
  }
  bool held = false;
  for (const char* extension : {"", ".html", ".css"}) {
    const std::string candidate = localPath + extension;
    if (!m_store.IsRegularFile(candidate) || m_store.Reserved(candidate))
      continue;
    if (!HeldByAnother(candidate, url))
      return candidate;
    held = true;
  }
  return held ? answered() : std::nullopt;
}

std::string CopyUpkeep::OwnPath(const std::string& url) const {
  return m_rules.Place(m_basePrefix, url).localPath;
}

bool CopyUpkeep::HeldByAnother(const std::string& localPath, const std::string& url,
                               const std::string& answeredBy) {
  // Without names of their own making, addresses that share a name share its file.
  if (!m_plan.completePages && !m_plan.adjustExtension)
    return false;
  std::optional<MirrorStore::Record> record = m_store.RecordOf(localPath);
  // A file without a record, or recorded before addresses asked for were, is taken for its own;
  // so is one of the document that answered.
  if (!record || record->asked.empty() || record->asked == url || record->url == url ||
      (!answeredBy.empty() && record->url == answeredBy))
    return false;
  // Read as the web is read, every address has a file of its own, however the naming options
  // bring names together.
  if (m_plan.completePages)
    return true;
  // The address that answered names the file where a directory's answer came for its "/".
  return OwnPath(record->url.empty() ? record->asked : record->url) != OwnPath(url);
}

std::optional<std::string> CopyUpkeep::RecordedTarget(const std::string& localPath,
                                                      const std::string& link) {
  // Relative paths written by a conversion never hold a "?" of their own.
  if (link.find('?') != std::string::npos)
    return std::nullopt;
  std::optional<std::string> target = LocalTargetOf(localPath, link);
  return target && m_store.RecordOf(*target) ? target : std::nullopt;
}

std::unique_ptr<FetchedFile> CopyUpkeep::ReadEarlierCopy(const std::string& localPath) {
  std::unique_ptr<FetchedFile> file = m_store.ReadCopy(localPath);
  if (!file || !file->converted)
    return file;
  // Read whole: rewriting may have made it longer than a file's area.
  std::optional<std::string> text = m_store.ReadWhole(localPath, kLargestConverted);
  if (!text)
    return file;
  const std::string address = file->finalUrl.empty() ? file->url : file->finalUrl;
  const std::string restored = RewriteReferences(
      *text, KindOf(file->contentType, localPath), address,
      [&](const FoundReference& reference) -> std::optional<std::string> {
        std::optional<std::string> target = RecordedTarget(localPath, reference.link);
        std::optional<MirrorStore::Record> record =
            target ? m_store.RecordOf(*target) : std::nullopt;
        if (!record || (record->url.empty() && record->asked.empty()))
          return std::nullopt;
        // The address the crawl asked for is the one the link named; the one that answered
        // may be where a redirect led.
        return (record->asked.empty() ? record->url : record->asked) + reference.fragment;
      },
      false);
  // Absolute addresses stay absolute, and may have made the text longer than a file's area.
  if (restored.size() > static_cast<size_t>(FetchedFile::kCapacity))
    file->data = std::make_unique_for_overwrite<char[]>(restored.size());
  std::memcpy(file->data.get(), restored.data(), restored.size());
  file->length = static_cast<int32_t>(restored.size());
  file->converted = false;
  return file;
}

std::vector<std::string> CopyUpkeep::Conditions(const std::string& copyPath) {
  std::vector<std::string> conditions;
  std::optional<MirrorStore::Record> record = m_store.RecordOf(copyPath);
  // The server's own time, written as a date is to be sent; without one it can read, the
  // copy's: a file changed after it was stored is newer.
  std::optional<int64_t> time = record ? ParseHttpDate(record->lastModified) : std::nullopt;
  if (!time)
    time = m_store.ModifiedTime(copyPath);
  const std::string since = time ? HttpDate(*time) : std::string();
  if (!since.empty() && IsOneLine(since))
    conditions.push_back("If-Modified-Since: " + since);
  if (record && !record->etag.empty() && IsOneLine(record->etag))
    conditions.push_back("If-None-Match: " + record->etag);
  return conditions;
}

bool CopyUpkeep::SameAsCopy(const FetchedFile& file, const std::string& copyPath) {
  // As old as the copy, and as large: unchanged, as tools that go by times take it.
  if (m_plan.completePages) {
    const std::optional<int64_t> modified = ParseHttpDate(file.lastModified);
    const std::optional<int64_t> copied = m_store.ModifiedTime(copyPath);
    const std::optional<int64_t> size = m_store.Size(copyPath);
    if (modified && copied && size && *modified == *copied && *size == file.Size())
      return true;
  }
  std::optional<MirrorStore::Record> record = m_store.RecordOf(copyPath);
  if (record && record->digest.starts_with("fnv1a64:") && !file.spool) {
    // Recorded by an earlier version, in its digest.
    return !file.converted &&
           EarlierContentDigest(std::string_view(
               file.data.get(), static_cast<size_t>(std::max<int64_t>(file.length, 0)))) ==
               record->digest;
  }
  if (record && !record->digest.empty())
    return !file.converted && file.Digest() == record->digest;
  if (file.spool)
    return false;
  std::optional<std::string> copy =
      m_store.ReadWhole(copyPath, static_cast<size_t>(FetchedFile::kCapacity));
  return copy && !file.converted &&
         *copy == std::string_view(file.data.get(), static_cast<size_t>(file.length));
}

std::string CopyUpkeep::StoredName(const std::string& url, const std::string& localPath,
                                   const FetchedFile& file) {
  const std::string name = AdjustedName(DisposedName(localPath, file), file);
  if (m_plan.completePages) {
    // The store's own names (the log, with -nH at the root) are no file's.
    if (m_store.Reserved(name))
      return NameBeside(name, url);
    ClearWayTo(name);
    // A directory has the name (its address and a file's differ by a "/"): the file takes one
    // beside it, whichever came first, as the directory's way is cleared of the file.
    if (m_store.Exists(name) && !m_store.IsRegularFile(name))
      return NameBeside(name, url);
  }
  if (!m_store.IsRegularFile(name) || !HeldByAnother(name, url, file.finalUrl))
    return name;
  // The name is another address's. Of the two, the one whose own name it is, else the first in
  // order of their texts, takes it from the other if this crawl stored that, whichever was
  // fetched first, so that any job count names two such files alike; a file of an earlier
  // crawl keeps its name, which its pages link to.
  const MirrorStore::Record other = *m_store.RecordOf(name);
  if (Rank(name, url, file.finalUrl) < Rank(name, other.asked, other.url) &&
      m_store.SavedNow(name) && MoveAside(name, RankedBeside(name, other.asked, other.url)))
    return name;
  return RankedBeside(name, url, file.finalUrl);
}

void CopyUpkeep::ClearWayTo(const std::string& localPath) {
  while (std::optional<std::string> file = m_store.FileInTheWay(localPath)) {
    const std::optional<MirrorStore::Record> record = m_store.RecordOf(*file);
    if (!record ||
        !MoveAside(*file, NameBeside(*file, record->asked.empty() ? record->url : record->asked)))
      return;  // not this program's to move: the new file is not stored
  }
}

bool CopyUpkeep::MoveAside(const std::string& localPath, const std::string& aside) {
  if (!m_store.Move(localPath, aside))
    return false;
  auto touched = m_touched.find(localPath);
  if (touched != m_touched.end()) {
    Touch moved = std::move(touched->second);
    m_touched.erase(touched);
    m_touched[aside] = std::move(moved);
  }
  return true;
}

std::string CopyUpkeep::DisposedName(const std::string& localPath, const FetchedFile& file) const {
  if (!m_plan.completePages || !m_plan.naming.contentDisposition)
    return localPath;
  const std::optional<std::string> name = DispositionName(file.contentDisposition, m_plan.naming);
  if (!name)
    return localPath;
  const size_t slash = localPath.rfind('/');
  return localPath.substr(0, slash == std::string::npos ? 0 : slash + 1) + *name;
}

std::string CopyUpkeep::NameBeside(const std::string& localPath, const std::string& url) {
  for (int n = 2;; ++n) {
    const std::string name = NumberedName(localPath, n);
    if (!m_store.Exists(name) || !HeldByAnother(name, url))
      return name;
  }
}

std::pair<bool, std::string> CopyUpkeep::Rank(const std::string& name, const std::string& asked,
                                              const std::string& answered) const {
  // An address and the one that answered it (a directory's for its "/") are one document.
  const bool owns = OwnPath(asked) == name;
  const bool answerOwns = !owns && !answered.empty() && OwnPath(answered) == name;
  return std::pair(!owns && !answerOwns, answerOwns ? answered : asked);
}

std::string CopyUpkeep::RankedBeside(const std::string& name, const std::string& asked,
                                     const std::string& answered) {
  const auto rank = Rank(name, asked, answered);
  for (int n = 2;; ++n) {
    const std::string place = NumberedName(name, n);
    if (!m_store.Exists(place) || !HeldByAnother(place, asked, answered))
      return place;
    const std::optional<MirrorStore::Record> there = m_store.RecordOf(place);
    if (!there || !m_store.SavedNow(place) || !(rank < Rank(name, there->asked, there->url)))
      continue;
    // This crawl's files from here on move one place on, the last first, so that the order of
    // the names is the order of the documents whichever was fetched first.
    int last = n;
    while (m_store.SavedNow(NumberedName(name, last + 1)))
      ++last;
    if (m_store.Exists(NumberedName(name, last + 1)))
      continue;
    bool moved = true;
    for (int k = last; moved && k >= n; --k)
      moved = MoveAside(NumberedName(name, k), NumberedName(name, k + 1));
    if (moved)
      return place;
  }
}

std::string CopyUpkeep::AdjustedName(const std::string& localPath, const FetchedFile& file) const {
  if (!m_plan.adjustExtension)
    return localPath;
  const FileKind kind = KindOf(file.contentType, std::string());
  const size_t slash = localPath.rfind('/');
  const std::string lower =
      ToLowerAscii(std::string_view(localPath).substr(slash == std::string::npos ? 0 : slash + 1));
  if (kind == FileKind::Page && !lower.ends_with(".html") && !lower.ends_with(".htm"))
    return localPath + ".html";
  if (kind == FileKind::Stylesheet && !lower.ends_with(".css"))
    return localPath + ".css";
  return localPath;
}

void CopyUpkeep::Touched(const std::string& localPath, const std::string& address,
                         FileReading reading) {
  if (!m_plan.convertLinks)
    return;
  if (!std::exchange(m_spillOpened, true))
    m_kept.SetSpill(m_store.OpenSpool());
  Touch& touch = m_touched[localPath];
  touch.kept = m_kept.Keep(address, reading);
  touch.address = touch.kept == KeptReadings::kNone ? address : std::string();
}
