#include "crawl/copy/mirror_store.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "crawl/base/crawl_dialog.h"
#include "crawl/copy/record_lines.h"
#include "platform/ascii.h"
#include "platform/http_date.h"
#include "support/activity_log.h"

namespace {

// The program's own directory in the save-to directory; no crawled file may go there.
constexpr const char* kOwnArea = ".kelvane";
constexpr const char* kRecordsName = ".kelvane/records";

}  // namespace

MirrorStore::MirrorStore(const std::string& saveToDirectory, bool keepRecords)
    : m_directory(MirrorDirectoryRoot(saveToDirectory)),
      m_keepRecords(keepRecords),
      m_recordFile(m_directory, RecordsPath()) {}

std::string MirrorStore::RecordsPath() const {
  const std::string& root = m_directory.Root();
  return root + (root.ends_with('/') ? "" : "/") + kRecordsName;
}

bool MirrorStore::Reserved(const std::string& localPath) const {
  std::optional<std::string> below = m_directory.Below(localPath);
  return below && IsOwnArea(*below);
}

bool MirrorStore::IsOwnArea(const std::string& below) const {
  // The log of a crawl that writes one lies at the root too.
  return below == kOwnArea || below.starts_with(std::string(kOwnArea) + "/") ||
         below == kLogFileName;
}

bool MirrorStore::Exists(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (below && KnownAbsent(*below))
    return false;
  return m_directory.Exists(localPath);
}

bool MirrorStore::KnownAbsent(const std::string& below) const {
  const size_t slash = below.rfind('/');
  return slash != std::string::npos && m_madeDirectories.Contains(below.substr(0, slash)) &&
         !m_savedNow.Contains(below) && !m_madeDirectories.Contains(below) &&
         !m_madeHere.Contains(below);
}

std::unique_ptr<FetchedFile> MirrorStore::ReadCopy(const std::string& localPath) {
  auto file = std::make_unique<FetchedFile>();
  file->url = localPath;
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || IsOwnArea(*below) || KnownAbsent(*below))
    return nullptr;
  size_t most = FetchedFile::kCapacity;
  bool unread = false;  // too large to be read: the copy is there, with nothing read of it
  if (m_anySize) {
    const int64_t size = Size(localPath).value_or(0);
    unread = size > FetchedFile::kLargestRead;
    most = static_cast<size_t>(std::clamp<int64_t>(size, most, FetchedFile::kLargestRead));
    if (most > static_cast<size_t>(FetchedFile::kCapacity) && !unread)
      file->data = std::make_unique_for_overwrite<char[]>(most);
  }
  std::optional<size_t> length =
      unread ? std::optional<size_t>(0)
             : m_directory.ReadRegularFile(localPath, file->data.get(), most);
  if (!length || (*length == 0 && !unread))
    return nullptr;
  file->length = static_cast<int32_t>(*length);
  // Records are read wherever a crawl that keeps them left them, so that any rerun reads a
  // converted copy as what it was; only such a crawl writes them.
  LoadRecords();
  if (std::optional<Record> found = m_recordFile.Find(*below)) {
    file->contentType = found->contentType;
    file->finalUrl = found->url;
    file->converted = found->converted;
  }
  return file;
}

void MirrorStore::LoadRecords() {
  if (m_recordsLoaded)
    return;
  m_recordsLoaded = true;
  const size_t lines = m_recordFile.Load();
  // Every change adds a line: once most of them are stale, the records are written anew.
  if (m_keepRecords && lines > 2 * m_recordFile.Size() + 1024)
    m_recordFile.Compact();
}

void MirrorStore::Unrecord(const std::string& below, std::optional<Record> before) {
  if (before)
    m_recordFile.Hold(below, *before);
  else
    m_recordFile.Forget(below);
}

void MirrorStore::AddRecord(const std::string& below, const Record& record) {
  LoadRecords();
  const std::optional<Record> found = m_recordFile.Find(below);
  if (found && found->contentType == record.contentType && found->url == record.url &&
      found->lastModified == record.lastModified && found->etag == record.etag &&
      found->converted == record.converted && found->asked == record.asked &&
      found->digest == record.digest)
    return;
  m_recordFile.Append(below, record);
}

void MirrorStore::MakeDirectories(const std::string& directory) {
  Log("Need Dir: " + directory);
  // The missing directory first, then every ancestor up to the topmost component.
  std::vector<std::string> chain{directory};
  std::string parent(BeforeLast(directory, '/'));
  if (Contains(directory, "/") && !m_directory.Exists(parent)) {
    chain.push_back(parent);
    while (Contains(chain.back(), "/"))
      chain.emplace_back(BeforeLast(chain.back(), '/'));
  }
  for (auto entry = chain.rbegin(); entry != chain.rend(); ++entry) {
    Log("Mkdir: " + *entry);
    bool madeNow = false;
    const int error = m_directory.MakeDirectory(*entry, &madeNow);
    std::optional<std::string> below = m_directory.Below(*entry);
    // What a directory made now holds is what this crawl puts there: the disk need not be asked.
    if (madeNow && below && !below->empty())
      m_madeDirectories.Insert(*below);
    // Only a directory of the copy's own tells why the file cannot be written.
    if (error != 0 && below.value_or("").size() > 0 && m_writeError == 0) {
      m_writeError = error;
      m_writeDirectory = std::string(BeforeLast(*entry, '/'));
    }
  }
}

// The directory a file goes in, made (with its "Need Dir: " and "Mkdir: " lines) where nothing is
// there; anything that is counts as the directory.
FileDescriptor MirrorStore::DirectoryFor(const std::string& localPath, std::string& name) {
  FileDescriptor directory = m_directory.OpenParent(localPath, name);
  if (!directory.Valid() && errno == ENOENT) {
    MakeDirectories(std::string(BeforeLast(localPath, '/')));
    directory = m_directory.OpenParent(localPath, name);
  }
  return directory;
}

SaveResult MirrorStore::Save(const FetchedFile& fetched, const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || below->empty() || HasParentSegment(*below) || IsOwnArea(*below)) {
    Log("Not saved (outside the save-to directory): " + localPath);
    return SaveResult::OutsideSaveTo;
  }
  Log("Saving: " + localPath);
  m_writeError = 0;
  std::string name;
  FileDescriptor directory = DirectoryFor(localPath, name);
  if (!directory.Valid())
    return NoDirectory(localPath);
  // What the file is goes in before the file itself: a crash between the two leaves a record
  // without a file, which costs nothing, never a file without its type. Its validators go in only
  // after it, so that a crash never pairs the old bytes with the new answer's validators; where
  // there were no old bytes (a directory this crawl made), they go in at once.
  Record record;
  record.contentType = fetched.contentType;
  record.url = fetched.finalUrl.empty() ? fetched.url : fetched.finalUrl;
  record.asked = fetched.url;
  record.digest = fetched.Digest();
  if (KnownAbsent(*below)) {
    record.lastModified = fetched.lastModified;
    record.etag = fetched.etag;
  }
  std::optional<Record> before = RecordBefore(*below, record);
  const size_t size = fetched.length > 0 ? static_cast<size_t>(fetched.length) : 0;
  const WriteResult written =
      fetched.spool ? fetched.spool->Name(directory, name)
                    : m_directory.WriteFileAtomically(directory, name, fetched.data.get(), size);
  // The copy is as old as the server says the file is, so that tools that go by times see what
  // changed.
  if (written == WriteResult::Written && m_fileTimes) {
    if (std::optional<int64_t> modified = ParseHttpDate(fetched.lastModified))
      ConfinedDirectory::SetModifiedTime(directory, name, *modified);
  }
  AfterWrite(fetched, localPath, *below, written, record, std::move(before));
  return Reported(written, localPath);
}

SaveResult MirrorStore::NoDirectory(const std::string& localPath) {
  const int error = errno;
  if (m_writeError == 0) {
    m_writeError = error;
    m_writeDirectory = std::string(BeforeLast(localPath, '/'));
  }
  return Reported(error == EXDEV || error == ELOOP ? WriteResult::Outside : WriteResult::OpenFailed,
                  localPath);
}

std::optional<MirrorStore::Record> MirrorStore::RecordBefore(const std::string& below,
                                                             Record& record) {
  std::optional<Record> before;
  if (!m_keepRecords)
    return before;
  // The same document again (a directory's page, asked for with and without its "/"): the
  // address sent on to it stays recorded, as the address that answered finds the file anyway.
  LoadRecords();
  before = m_recordFile.Find(below);
  if (before && before->url == record.url && !before->asked.empty() && before->asked != before->url)
    record.asked = before->asked;
  AddRecord(below, record);
  return before;
}

void MirrorStore::AfterWrite(const FetchedFile& fetched, const std::string& localPath,
                             const std::string& below, WriteResult written, Record& record,
                             std::optional<Record> before) {
  if (written == WriteResult::WriteFailed || written == WriteResult::OpenFailed) {
    m_writeError = errno;
    m_writeDirectory = std::string(BeforeLast(localPath, '/'));
    // What the path holds is what it held before: its links are converted to it, not to this.
    if (m_keepRecords)
      Unrecord(below, std::move(before));
  }
  if (written == WriteResult::Written) {
    m_savedNow.Insert(below);
  }
  if (written == WriteResult::Written && m_keepRecords &&
      (!fetched.lastModified.empty() || !fetched.etag.empty())) {
    record.lastModified = fetched.lastModified;
    record.etag = fetched.etag;
    AddRecord(below, record);
  }
}

SaveResult MirrorStore::Reported(WriteResult written, const std::string& localPath) {
  switch (written) {
    case WriteResult::Written:
      return SaveResult::Saved;
    case WriteResult::OpenFailed:
      return SaveResult::WriteFailed;  // skipped without a word, as a file that cannot be opened
    case WriteResult::Outside:
      Log("Not saved (outside the save-to directory): " + localPath);
      return SaveResult::OutsideSaveTo;
    case WriteResult::WriteFailed:
      break;
  }
  Log("Not saved (write failed): " + localPath);
  return SaveResult::WriteFailed;
}

bool RoomOrPermission(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM:
    case EROFS:
      return true;
    default:
      return false;
  }
}

std::optional<MirrorStore::Refusal> MirrorStore::Refused() const {
  if (!RoomOrPermission(m_writeError))
    return std::nullopt;
  return Refusal{m_writeError, m_writeDirectory};
}

std::string MirrorStore::FullPath(const std::string& below) const {
  const std::string& root = m_directory.Root();
  return root + (root.ends_with('/') ? "" : "/") + below;
}

bool MirrorStore::IsRegularFile(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  return below && !IsOwnArea(*below) && !KnownAbsent(*below) &&
         !m_madeDirectories.Contains(*below) && m_directory.RegularFileInfo(localPath);
}

std::optional<std::string> MirrorStore::FileInTheWay(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below)
    return std::nullopt;
  const std::string base = localPath.substr(0, localPath.size() - below->size());
  for (size_t slash = below->find('/'); slash != std::string::npos;
       slash = below->find('/', slash + 1)) {
    const std::string directory = base + below->substr(0, slash);
    if (IsRegularFile(directory))
      return directory;
  }
  return std::nullopt;
}

std::optional<std::string> MirrorStore::ReadWhole(const std::string& localPath, size_t max) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || IsOwnArea(*below))
    return std::nullopt;
  return m_directory.ReadText(localPath, max, true);
}

bool MirrorStore::IsEarlierCopy(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || IsOwnArea(*below) || KnownAbsent(*below))
    return false;
  std::optional<ConfinedDirectory::FileInfo> info = m_directory.RegularFileInfo(localPath);
  return info && info->size > 0;
}

std::optional<int64_t> MirrorStore::Size(const std::string& localPath) {
  std::optional<ConfinedDirectory::FileInfo> info = m_directory.RegularFileInfo(localPath);
  return info ? std::optional(info->size) : std::nullopt;
}

std::optional<int64_t> MirrorStore::ModifiedTime(const std::string& localPath) {
  std::optional<ConfinedDirectory::FileInfo> info = m_directory.RegularFileInfo(localPath);
  return info ? std::optional(info->modified) : std::nullopt;
}

std::optional<MirrorStore::Record> MirrorStore::RecordOf(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below)
    return std::nullopt;
  LoadRecords();
  return m_recordFile.Find(*below);
}

std::optional<std::string> MirrorStore::LocalPathOf(const std::string& url,
                                                    const std::string& likely) {
  LoadRecords();
  if (!likely.empty()) {
    if (std::optional<std::string> below = m_directory.Below(likely);
        below && m_recordFile.SurelyPathOf(url, *below))
      return FullPath(*below);
  }
  std::optional<std::string> below = m_recordFile.PathOf(url, false);
  return below ? std::optional(FullPath(*below)) : std::nullopt;
}

std::optional<std::string> MirrorStore::LocalPathAsked(const std::string& url) {
  LoadRecords();
  std::optional<std::string> below = m_recordFile.PathOf(url, true);
  return below ? std::optional(FullPath(*below)) : std::nullopt;
}

bool MirrorStore::SavedNow(const std::string& localPath) const {
  std::optional<std::string> below = m_directory.Below(localPath);
  return below && m_savedNow.Contains(*below);
}

bool MirrorStore::Move(const std::string& localPath, const std::string& newPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  std::optional<std::string> newBelow = m_directory.Below(newPath);
  if (!below || !newBelow || !m_keepRecords || IsOwnArea(*below) || IsOwnArea(*newBelow) ||
      HasParentSegment(*newBelow))
    return false;
  LoadRecords();
  const std::optional<Record> found = m_recordFile.Find(*below);
  if (!found)
    return false;
  // The record goes first: a crash between the two leaves it naming a file that is not there,
  // which costs a fetch, never a file read as another's.
  AddRecord(*newBelow, *found);
  if (!m_directory.Rename(localPath, newPath))
    return false;
  m_savedNow.Insert(*newBelow);
  Log("Renamed: " + localPath + " to " + newPath);
  return true;
}

std::unique_ptr<SpoolFile> MirrorStore::OpenSpool() {
  return SpoolFile::Open(m_directory);
}

std::optional<std::string> MirrorStore::WriteBackup(const std::string& localPath,
                                                    const std::string& text) {
  LoadRecords();
  // A file of the site that has the name is no backup to replace: the next free one is taken.
  constexpr int kMostNames = 9;
  for (int number = 1; number <= kMostNames; ++number) {
    const std::string path =
        localPath + ".orig" + (number == 1 ? std::string() : "~" + std::to_string(number));
    std::optional<std::string> below = m_directory.Below(path);
    if (!below || IsOwnArea(*below) || HasParentSegment(*below))
      return std::nullopt;
    if (m_recordFile.Find(*below))
      continue;
    if (m_directory.WriteFileAtomically(path, text.data(), text.size()) != WriteResult::Written)
      return std::nullopt;
    m_madeHere.Insert(*below);
    return path;
  }
  return std::nullopt;
}

bool MirrorStore::MarkConverted(const std::string& localPath) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || !m_keepRecords || IsOwnArea(*below))
    return false;
  LoadRecords();
  // Marked first: a page read as converted that is not yet is read the same way.
  Record record = m_recordFile.Find(*below).value_or(Record{});
  record.converted = true;
  AddRecord(*below, record);
  return true;
}

bool MirrorStore::WriteConverted(const std::string& localPath, const std::string& text) {
  return m_directory.WriteFileAtomically(localPath, text.data(), text.size()) ==
         WriteResult::Written;
}

void MirrorStore::RecordAddress(const std::string& localPath, const std::string& address) {
  std::optional<std::string> below = m_directory.Below(localPath);
  if (!below || !m_keepRecords || IsOwnArea(*below))
    return;
  LoadRecords();
  std::optional<Record> record = m_recordFile.Find(*below);
  if (!record || !record->url.empty())
    return;
  record->url = address;
  AddRecord(*below, *record);
}
