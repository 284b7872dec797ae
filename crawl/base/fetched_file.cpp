#include "crawl/base/fetched_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "crawl/base/content_digest.h"
#include "crawl/base/crawl_dialog.h"
#include "platform/ascii.h"
#include "platform/file_system.h"

namespace {

std::atomic<int> g_noDialogStop{0};

// The areas of files gone, for the next files: a fresh one costs the kernel a zeroed page at
// each first touch, and the allocator a mapping. Only areas little used are kept, so that what
// they hold in memory stays small.
constexpr size_t kMostKept = 4;
constexpr int32_t kMostUsedKept = 256 << 10;
std::mutex g_areasLock;
std::vector<std::unique_ptr<char[]>>& KeptAreas() {
  static auto* areas = new std::vector<std::unique_ptr<char[]>>();  // files may outlive statics
  return *areas;
}

std::unique_ptr<char[]> TakeArea() {
  {
    std::lock_guard lock(g_areasLock);
    if (!KeptAreas().empty()) {
      std::unique_ptr<char[]> area = std::move(KeptAreas().back());
      KeptAreas().pop_back();
      return area;
    }
  }
  return std::make_unique_for_overwrite<char[]>(FetchedFile::kCapacity);
}

}  // namespace

FetchedFile::FetchedFile() : data(TakeArea()), m_first(data.get()) {}

FetchedFile::~FetchedFile() {
  if (data == nullptr || data.get() != m_first || length > kMostUsedKept || spool != nullptr)
    return;
  std::lock_guard lock(g_areasLock);
  if (KeptAreas().size() < kMostKept)
    KeptAreas().push_back(std::move(data));
}

int64_t FetchedFile::Size() const {
  return spool ? spool->Size() : length;
}

std::string FetchedFile::Digest() const {
  if (!digest.empty())
    return digest;
  return ContentDigest(std::string_view(data.get(), static_cast<size_t>(std::max(length, 0))));
}

bool FetchedFile::ReadSpooled(int64_t most) {
  if (!spool)
    return true;
  if (spool->Size() > most)
    return false;
  const size_t size = static_cast<size_t>(spool->Size());
  auto text = std::make_unique_for_overwrite<char[]>(std::max(size, size_t{kCapacity}));
  if (!spool->Read(text.get(), size))
    return false;
  data = std::move(text);
  length = static_cast<int32_t>(size);
  return true;
}

bool IsHttpUrl(const std::string& text) {
  return StartsWithNoCase(text, "http://") || StartsWithNoCase(text, "https://");
}

std::unique_ptr<FetchedFile> LoadLocal(const std::string& path) {
  auto file = std::make_unique<FetchedFile>();
  file->url = path;
  // Not blocking, and regular files only: a pipe or device named here must not hold the crawl.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))
    return file;
  size_t total = 0;
  while (total < static_cast<size_t>(FetchedFile::kCapacity)) {
    ssize_t n = ::read(fd.Get(), file->data.get() + total, FetchedFile::kCapacity - total);
    if (n <= 0)
      break;
    total += static_cast<size_t>(n);
  }
  file->length = static_cast<int32_t>(total);
  return file;
}

void CutAddress(const std::string& url, std::string& server, std::string& objectName) {
  size_t slashes[3] = {0, 0, 0};
  int found = 0;
  for (size_t i = 0; i < url.size() && found < 3; ++i) {
    if (url[i] == '/')
      slashes[found++] = i;
  }
  if (found == 3) {
    server = url.substr(slashes[1] + 1, slashes[2] - slashes[1] - 1);
    objectName = url.substr(slashes[2] + 1);
  } else {
    server = found == 0 ? url : url.substr(slashes[found - 1] + 1);
    objectName.clear();
  }
}

FileKind KindOf(const std::string& contentType, const std::string& localPath) {
  const std::string type =
      ToLowerAscii(TrimSpace(std::string_view(contentType).substr(0, contentType.find(';'))));
  if (type == "text/html" || type == "application/xhtml+xml")
    return FileKind::Page;
  if (type == "text/css")
    return FileKind::Stylesheet;
  const size_t slash = localPath.rfind('/');
  const size_t dot = localPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return FileKind::Other;
  const std::string extension = ToLowerAscii(std::string_view(localPath).substr(dot + 1));
  if (extension == "htm" || extension == "html" || extension == "shtml" || extension == "xhtml")
    return FileKind::Page;
  return extension == "css" ? FileKind::Stylesheet : FileKind::Other;
}

std::atomic<int>& StopFlag() {
  return g_mainDialog != nullptr ? g_mainDialog->m_stopRequested : g_noDialogStop;
}

void ClearStopWithoutDialog() {
  if (g_mainDialog == nullptr)
    g_noDialogStop = 0;
}
