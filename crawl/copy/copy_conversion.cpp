// Links rewritten once the crawl is over, so that the copy reads from disk.
#include <algorithm>
#include <mutex>
#include <utility>

#include "crawl/copy/copy_upkeep.h"
#include "crawl/copy/link_converter.h"
#include "crawl/copy/side_by_side.h"
#include "platform/ascii.h"

namespace {

// The files a converting thread keeps looked up, of those that links name.
constexpr size_t kMostLookedUp = size_t{1} << 16;

}  // namespace

std::optional<KeptReading> CopyUpkeep::KeptOf(const Touch& touch) const {
  if (touch.kept == KeptReadings::kNone)
    return std::nullopt;
  return m_kept.Read(touch.kept);
}

const std::optional<std::string>& CopyUpkeep::StoredFiles::Of(CopyUpkeep& upkeep,
                                                              const std::string& url,
                                                              const std::string& basePrefix) {
  // Pages name the same few files over and over: each is looked up once, within a bound.
  auto found = byAddress.find(url);
  if (found != byAddress.end())
    return found->second;
  if (byAddress.size() >= kMostLookedUp)
    byAddress.clear();
  std::lock_guard lock(upkeep.m_storeLock);
  return byAddress.emplace(url, upkeep.StoredFileOf(url, basePrefix)).first->second;
}

std::optional<std::string> CopyUpkeep::StoredFileOf(const std::string& url,
                                                    const std::string& basePrefix) {
  // Most addresses have their one file where the rules place them.
  const CrawlRules::Placement placement = m_rules.Place(basePrefix, url);
  if (std::optional<std::string> recorded =
          m_store.LocalPathOf(url, placement.stored ? placement.localPath : std::string()))
    return recorded;
  if (!placement.stored)
    return std::nullopt;
  const size_t slash = placement.localPath.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string directory = placement.localPath.substr(0, slash);
    auto known = m_directoriesAfterCrawl.find(directory);
    if (known == m_directoriesAfterCrawl.end())
      known = m_directoriesAfterCrawl.emplace(directory, m_store.Exists(directory)).first;
    if (!known->second)
      return std::nullopt;
  }
  std::optional<std::string> copy = EarlierCopy(url, placement.localPath);
  return copy && m_store.IsRegularFile(*copy) ? copy : std::nullopt;
}

std::optional<std::string> CopyUpkeep::ConvertedAddress(const std::string& localPath,
                                                        bool converted,
                                                        const FoundReference& reference,
                                                        const std::string& basePrefix,
                                                        StoredFiles& stored) {
  // A fragment of the page itself, and what names no web address, stay as written.
  if (reference.link.empty() || reference.link.front() == '#' || reference.resolved.empty())
    return std::nullopt;
  // A file converted before names stored files by relative paths already; any other file names
  // them by their addresses.
  std::optional<std::string> target;
  if (converted) {
    std::lock_guard lock(m_storeLock);
    target = RecordedTarget(localPath, reference.link);
  }
  if (!target)
    target = stored.Of(*this, reference.resolved, basePrefix);
  if (target)
    return RelativeAddress(localPath, *target) + reference.fragment;
  return reference.resolved + reference.fragment;
}

std::string CopyUpkeep::ConvertedKept(const std::string& localPath, std::string_view text,
                                      const KeptReading& kept, const std::string& basePrefix,
                                      const std::atomic<int>& stop, StoredFiles& stored) {
  std::vector<std::pair<ReferencePlace, std::string>> addresses;
  addresses.reserve(kept.references.size());
  for (const KeptReference& reference : kept.references) {
    if (stop.load(std::memory_order_relaxed) != 0)
      break;  // the caller keeps the file as it is
    const std::optional<std::string>& target = stored.Of(*this, reference.address, basePrefix);
    std::string address = target ? RelativeAddress(localPath, *target) : reference.address;
    address += reference.fragment;
    addresses.emplace_back(reference.place, std::move(address));
  }
  return WithAddresses(text, std::move(addresses), kept.base ? &*kept.base : nullptr);
}

CopyUpkeep::Conversion CopyUpkeep::Convert(const std::string& localPath, const Touch& touch,
                                           const std::string& basePrefix,
                                           const std::atomic<int>& stop, StoredFiles& stored) {
  Conversion conversion;
  std::optional<MirrorStore::Record> record;
  {
    std::lock_guard lock(m_storeLock);
    record = m_store.RecordOf(localPath);
  }
  const FileKind kind = KindOf(record ? record->contentType : std::string(), localPath);
  if (kind == FileKind::Other)
    return conversion;
  std::optional<std::string> text = m_store.ReadWhole(localPath, kLargestConverted);
  if (!text || text->empty())
    return conversion;
  const bool converted = record && record->converted;
  const std::optional<KeptReading> kept = KeptOf(touch);
  const std::string address = record && !record->url.empty() ? record->url
                              : kept                         ? kept->touched
                                                             : touch.address;
  if (address.empty())
    return conversion;  // what it was kept for cannot be read back: it stays as it is
  // The crawl's reading holds while the file is the text it read, as it read it.
  const bool keptHolds = kept && kept->read && !converted && kept->kind == kind &&
                         kept->address == address && kept->size == text->size() &&
                         kept->hash == std::hash<std::string_view>{}(*text);
  const std::string rewritten =
      keptHolds
          ? ConvertedKept(localPath, *text, *kept, basePrefix, stop, stored)
          : RewriteReferences(
                *text, kind, address,
                [&](const FoundReference& reference) {
                  return ConvertedAddress(localPath, converted, reference, basePrefix, stored);
                },
                true, &stop);
  conversion.cut = stop != 0;
  if (rewritten == *text || stop != 0)
    return conversion;
  WriteConverted(localPath, *text, rewritten, converted, conversion);
  return conversion;
}

void CopyUpkeep::WriteConverted(const std::string& localPath, const std::string& original,
                                const std::string& rewritten, bool converted,
                                Conversion& conversion) {
  bool marked = false;
  {
    std::lock_guard lock(m_storeLock);
    // The original as it came, kept beside the file once: a later conversion has only converted
    // text to keep.
    // An original that cannot be kept is not written over either.
    if (m_plan.backupConverted && !converted) {
      const std::optional<std::string> backup = m_store.WriteBackup(localPath, original);
      conversion.backupFailed = !backup;
      conversion.error = backup ? 0 : errno;
      if (backup && *backup != localPath + ".orig")
        conversion.backup = *backup;
    }
    marked = !conversion.backupFailed && m_store.MarkConverted(localPath);
  }
  const bool written = marked && m_store.WriteConverted(localPath, rewritten);
  if (marked && !written)
    conversion.error = errno;
  conversion.write = written ? Conversion::Write::Written : Conversion::Write::Failed;
}

void CopyUpkeep::LogConversion(const std::string& localPath, const Conversion& conversion) {
  if (conversion.backupFailed)
    Log("Original not kept (write failed): " + localPath + ".orig");
  if (!conversion.backup.empty())
    Log("Original kept as " + conversion.backup + ": " + localPath + ".orig is the site's own");
  if (conversion.write == Conversion::Write::Written)
    Log("Links converted: " + localPath);
  else if (conversion.write == Conversion::Write::Failed)
    Log("Links not converted (write failed): " + localPath);
}

CopyUpkeep::Converted CopyUpkeep::ConvertLinks(
    const std::string& basePrefix, const std::atomic<int>& stop,
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::vector<const TouchedFile*> files;
  files.reserve(m_touched.size());
  for (const auto& touched : m_touched)
    files.push_back(&touched);
  // Converted and logged in the order of their paths, whatever order they were stored in.
  std::sort(files.begin(), files.end(),
            [](const TouchedFile* a, const TouchedFile* b) { return a->first < b->first; });
  if (files.empty())
    return Converted();
  m_kept.Flush();
  m_store.RecordOf(files.front()->first);  // the records read before any thread looks them up
  std::vector<Conversion> conversions(files.size());
  std::atomic<size_t> next = 0;
  std::mutex doneLock;
  size_t logged = 0;
  const auto logDone = [&] {
    for (; logged < files.size() && conversions[logged].done; ++logged)
      LogConversion(files[logged]->first, conversions[logged]);
  };
  // A stop, or the end of the time given, halts the files in hand too, however long they are.
  std::atomic<int> halt = stop.load();
  HaltWatch watch(stop, deadline, halt);
  // This thread logs, in the files' order, what it and the others have done.
  const auto work = [&](bool logs) {
    StoredFiles stored;
    for (size_t i = next++; i < files.size() && halt == 0; i = next++) {
      Conversion conversion = Convert(files[i]->first, files[i]->second, basePrefix, halt, stored);
      conversion.done = true;
      std::lock_guard lock(doneLock);
      conversions[i] = conversion;
      if (logs)
        logDone();
    }
  };
  SideBySide(files.size(), work);
  logDone();
  return Tally(files, conversions);
}

CopyUpkeep::Converted CopyUpkeep::Tally(const std::vector<const TouchedFile*>& files,
                                        const std::vector<Conversion>& conversions) {
  Converted converted;
  // A file that had no address on record has this crawl's.
  for (size_t i = 0; i < files.size(); ++i) {
    if (conversions[i].write != Conversion::Write::None)
      m_store.RecordAddress(files[i]->first,
                            files[i]->second.address.empty()
                                ? KeptOf(files[i]->second).value_or(KeptReading()).touched
                                : files[i]->second.address);
    converted.files += conversions[i].write == Conversion::Write::Written ? 1 : 0;
    if (conversions[i].write == Conversion::Write::Failed) {
      ++converted.notConverted;
      if (converted.refusal == 0 && RoomOrPermission(conversions[i].error)) {
        converted.refusal = conversions[i].error;
        converted.refusedIn = std::string(BeforeLast(files[i]->first, '/'));
      }
    }
    converted.stopped = converted.stopped || !conversions[i].done || conversions[i].cut;
  }
  return converted;
}
