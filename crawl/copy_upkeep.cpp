#include "crawl/copy_upkeep.h"

#include <cstring>
#include <ctime>

#include "crawl/crawl_dialog.h"
#include "crawl/link_converter.h"
#include "platform/ascii.h"

namespace {

// An HTTP date, written without the locale's names.
std::string HttpDate(int64_t seconds) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  if (gmtime_r(&time, &utc) == nullptr)
    return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

// Header values come back to the server as they came; a line break in one would be a header of
// its own.
bool IsOneLine(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

CopyUpkeep::CopyUpkeep(const CrawlPlan& plan, const CrawlRules& rules, MirrorStore& store)
    : m_plan(plan), m_rules(rules), m_store(store) {}

std::optional<std::string> CopyUpkeep::EarlierCopy(const std::string& localPath) {
  if (m_store.Exists(localPath))
    return localPath;
  if (!m_plan.adjustExtension)
    return std::nullopt;
  for (const char* extension : {".html", ".css"}) {
    if (m_store.Exists(localPath + extension))
      return localPath + extension;
  }
  return std::nullopt;
}

std::vector<std::string> CopyUpkeep::Conditions(const std::string& copyPath) {
  std::vector<std::string> conditions;
  std::optional<MirrorStore::Record> record = m_store.RecordOf(copyPath);
  std::string since = record ? record->lastModified : std::string();
  // Without the server's own time, the copy's: a file changed after it was stored is newer.
  if (since.empty()) {
    if (std::optional<int64_t> stored = m_store.ModifiedTime(copyPath))
      since = HttpDate(*stored);
  }
  if (!since.empty() && IsOneLine(since))
    conditions.push_back("If-Modified-Since: " + since);
  if (record && !record->etag.empty() && IsOneLine(record->etag))
    conditions.push_back("If-None-Match: " + record->etag);
  return conditions;
}

std::string CopyUpkeep::StoredName(const std::string& localPath, const FetchedFile& file) const {
  if (!m_plan.adjustExtension)
    return localPath;
  const FileKind kind = KindOf(file.contentType, std::string());
  const size_t slash = localPath.rfind('/');
  const std::string name = localPath.substr(slash == std::string::npos ? 0 : slash + 1);
  const std::string lower = ToLowerAscii(name);
  if (kind == FileKind::Page && !lower.ends_with(".html") && !lower.ends_with(".htm"))
    return localPath + ".html";
  if (kind == FileKind::Stylesheet && !lower.ends_with(".css"))
    return localPath + ".css";
  return localPath;
}

void CopyUpkeep::RestoreAddresses(FetchedFile& file, const std::string& localPath) {
  const std::string_view text(file.data.get(), static_cast<size_t>(file.length));
  const std::string restored = RewriteReferences(
      text, KindOf(file.contentType, localPath), file.finalUrl.empty() ? file.url : file.finalUrl,
      [&](const FoundReference& reference) -> std::optional<std::string> {
        std::optional<std::string> target = LocalTargetOf(localPath, reference.link);
        std::optional<MirrorStore::Record> record =
            target ? m_store.RecordOf(*target) : std::nullopt;
        if (!record || record->url.empty())
          return std::nullopt;
        return record->url + reference.fragment;
      });
  const size_t length = std::min(restored.size(), static_cast<size_t>(FetchedFile::kCapacity));
  std::memcpy(file.data.get(), restored.data(), length);
  file.length = static_cast<int32_t>(length);
  file.converted = false;
}

std::optional<std::string> CopyUpkeep::StoredFileOf(const std::string& url,
                                                    const std::string& basePrefix) {
  if (std::optional<std::string> recorded = m_store.LocalPathOf(url))
    return recorded;
  const CrawlRules::Placement placement = m_rules.Place(basePrefix, url);
  if (!placement.stored)
    return std::nullopt;
  std::optional<std::string> copy = EarlierCopy(placement.localPath);
  return copy && m_store.IsEarlierCopy(*copy) ? copy : std::nullopt;
}

std::optional<std::string> CopyUpkeep::ConvertedAddress(const std::string& localPath,
                                                        const FoundReference& reference,
                                                        const std::string& basePrefix) {
  // A fragment of the page itself, and what names no web address, stay as written.
  if (reference.link.empty() || reference.link.front() == '#' || reference.resolved.empty())
    return std::nullopt;
  // A page converted before names stored files by relative paths already.
  std::optional<std::string> target = LocalTargetOf(localPath, reference.link);
  if (!target || !m_store.RecordOf(*target))
    target = StoredFileOf(reference.resolved, basePrefix);
  if (target)
    return RelativeAddress(localPath, *target) + reference.fragment;
  return reference.resolved + reference.fragment;
}

void CopyUpkeep::ConvertLinks(const std::string& basePrefix, const std::atomic<int>& stop) {
  for (const auto& [localPath, record] : m_store.Records()) {
    if (stop != 0)
      return;
    const FileKind kind = KindOf(record.contentType, localPath);
    if (kind == FileKind::Other)
      continue;
    std::unique_ptr<FetchedFile> file = m_store.ReadCopy(localPath);
    if (!file)
      continue;
    const std::string_view text(file->data.get(), static_cast<size_t>(file->length));
    const std::string converted = RewriteReferences(
        text, kind, record.url,
        [&](const FoundReference& reference) {
          return ConvertedAddress(localPath, reference, basePrefix);
        },
        &stop);
    if (converted != text && stop == 0 && m_store.WriteConverted(localPath, converted))
      Log("Links converted: " + localPath);
  }
}
