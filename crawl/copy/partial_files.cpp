#include "crawl/copy/partial_files.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include "platform/ascii.h"

namespace {

// A name from the address alone, the same in every run: FNV-1a.
std::string KeyOf(const std::string& url) {
  uint64_t hash = 1469598103934665603ULL;
  for (const unsigned char c : url)
    hash = (hash ^ c) * 1099511628211ULL;
  char key[17];
  std::snprintf(key, sizeof key, "%016" PRIx64, hash);
  return key;
}

}  // namespace

PartialFiles::PartialFiles(const std::string& saveToDirectory)
    : m_directory(saveToDirectory), m_root(saveToDirectory + "/.kelvane/partial") {}

std::string PartialFiles::PathOf(const std::string& url, const char* ending) const {
  return m_root + "/" + KeyOf(url) + ending;
}

std::optional<PartialFiles::Kept> PartialFiles::Find(const std::string& url) {
  const std::optional<std::string> about = m_directory.ReadText(PathOf(url, ".about"), 1 << 16);
  if (!about || !about->starts_with(url + "\n"))
    return std::nullopt;
  Kept kept{PathOf(url, ".part"), 0, about->substr(url.size() + 1)};
  while (!kept.validator.empty() && kept.validator.back() == '\n')
    kept.validator.pop_back();
  const std::optional<ConfinedDirectory::FileInfo> info = m_directory.RegularFileInfo(kept.path);
  if (!info || info->size <= 0 || kept.validator.empty())
    return std::nullopt;
  kept.size = info->size;
  return kept;
}

void PartialFiles::Keep(const std::string& url, FetchedFile& file) {
  // Decoded, its bytes are not those the server counts; a part joined to a kept one counts them.
  const bool encoded = file.wireBytes.has_value() && file.status != 206;
  // A weak ETag ties no bytes to others: the rest could not be asked for on it.
  const std::string validator =
      !file.etag.empty() && !file.etag.starts_with("W/") ? file.etag : file.lastModified;
  if (encoded || validator.empty() || file.Size() <= 0 ||
      (file.status != 200 && file.status != 206))
    return;
  for (const std::string& level : {m_root.substr(0, m_root.rfind('/')), m_root}) {
    if (m_directory.MakeDirectory(level) != 0)
      return;
  }
  std::string name;
  const FileDescriptor directory = m_directory.OpenParent(PathOf(url, ".part"), name);
  if (!directory.Valid())
    return;
  const WriteResult written =
      file.spool ? file.spool->Name(directory, name)
                 : m_directory.WriteFileAtomically(directory, name, file.data.get(),
                                                   static_cast<size_t>(file.length));
  const std::string about = url + "\n" + validator + "\n";
  if (written != WriteResult::Written ||
      m_directory.WriteFileAtomically(PathOf(url, ".about"), about.data(), about.size()) !=
          WriteResult::Written)
    Drop(url);
}

void PartialFiles::Drop(const std::string& url) {
  for (const char* ending : {".about", ".part"}) {
    std::string name;
    const FileDescriptor directory = m_directory.OpenParent(PathOf(url, ending), name);
    if (directory.Valid())
      ::unlinkat(directory.Get(), name.c_str(), 0);
  }
}

std::optional<int64_t> RangeStart(const std::string& contentRange) {
  std::string_view text = TrimSpace(contentRange);
  if (!StartsWithNoCase(text, "bytes "))
    return std::nullopt;
  text.remove_prefix(6);
  int64_t start = 0;
  size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9' && digits < 18;
       ++digits)
    start = start * 10 + (text[digits] - '0');
  if (digits == 0 || digits >= text.size() || text[digits] != '-')
    return std::nullopt;
  return start;
}
