#include "crawl/mirror_writer.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "crawl/crawl_dialog.h"
#include "crawl/text_ops.h"
#include "platform/file_system.h"

namespace {

// Where the address after its scheme starts; "https://" counts like "http://". Text typed
// without a scheme is taken whole.
size_t AfterScheme(std::string_view url) {
  size_t http = url.find("http://");
  size_t https = url.find("https://");
  if (http != std::string_view::npos && (https == std::string_view::npos || http < https))
    return http + 7;
  if (https != std::string_view::npos)
    return https + 8;
  std::string lower = ToLowerAscii(url);
  http = lower.find("http://");
  https = lower.find("https://");
  if (http != std::string::npos && (https == std::string::npos || http < https))
    return http + 7;
  if (https != std::string::npos)
    return https + 8;
  return 0;
}

}  // namespace

bool HasParentSegment(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos)
      end = path.size();
    if (path.substr(start, end - start) == "..")
      return true;
    start = end + 1;
  }
  return false;
}

std::string MirrorDirectory(const std::string& url, const std::string& saveToDirectory) {
  std::string result = saveToDirectory;
  std::replace(result.begin(), result.end(), '\\', '/');
  result += '/';
  std::string_view rest = std::string_view(url).substr(AfterScheme(url));
  size_t k = rest.rfind('/');
  if (k == std::string_view::npos) {
    result += rest;
  } else if (k + 1 == rest.size()) {
    result += rest.substr(0, k);
  } else if (!Contains(rest.substr(k), ".")) {
    result += rest;
  } else {
    result += rest.substr(0, k);
  }
  return result;
}

void AppendIndexName(const std::string& url, std::string& target, const std::string& name) {
  std::string_view rest = std::string_view(url);
  rest.remove_prefix(std::min(rest.size(), SchemeLength(url)));
  size_t k = rest.rfind('/');
  if (k == std::string_view::npos) {
    target += '/';
    target += name;
    return;
  }
  if (k + 1 == rest.size()) {
    target += name;
    return;
  }
  std::string_view segment = rest.substr(k + 1);
  size_t dot = segment.find('.');
  if (dot == std::string_view::npos || dot == 0) {
    target += '/';
    target += name;
  }
}

std::string LocalPathOf(const std::string& url, const std::string& relativePart,
                        const std::string& mirrorDirectory) {
  std::string localPath = mirrorDirectory + relativePart;
  AppendIndexName(url, localPath, kIndexName);
  return localPath;
}

SaveResult Save(const FetchedFile& fetched, const std::string& localPath,
                std::string_view localRoot) {
  std::string_view below = localPath;
  if (!localRoot.empty() && below.starts_with(localRoot))
    below.remove_prefix(localRoot.size());
  if (HasParentSegment(below)) {
    Log("Not saved (outside the save-to directory): " + localPath);
    return SaveResult::OutsideSaveTo;
  }
  Log("Saving: " + localPath);
  const std::string directory(BeforeLast(localPath, '/'));
  if (!PathExists(directory)) {
    Log("Need Dir: " + directory);
    // The missing directory first, then every ancestor up to the topmost component.
    std::vector<std::string> chain{directory};
    std::string parent(BeforeLast(directory, '/'));
    if (Contains(directory, "/") && !PathExists(parent)) {
      chain.push_back(parent);
      while (Contains(chain.back(), "/"))
        chain.emplace_back(BeforeLast(chain.back(), '/'));
    }
    for (auto entry = chain.rbegin(); entry != chain.rend(); ++entry) {
      Log("Mkdir: " + *entry);
      MakeDirectory(*entry);
    }
  }
  size_t size = fetched.length > 0 ? static_cast<size_t>(fetched.length) : 0;
  switch (WriteFileAtomically(localPath, fetched.data.get(), size)) {
    case WriteResult::Written:
      return SaveResult::Saved;
    case WriteResult::OpenFailed:
      return SaveResult::WriteFailed;  // skipped without a word, as a file that cannot be opened
    case WriteResult::WriteFailed:
      break;
  }
  Log("Not saved (write failed): " + localPath);
  return SaveResult::WriteFailed;
}
