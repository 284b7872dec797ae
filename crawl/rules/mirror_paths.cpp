#include "crawl/rules/mirror_paths.h"

#include <algorithm>
#include <string_view>

#include "platform/ascii.h"

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

std::string MirrorDirectoryRoot(const std::string& saveToDirectory) {
  std::string root = saveToDirectory;
  std::replace(root.begin(), root.end(), '\\', '/');
  return root;
}

std::string MirrorDirectory(const std::string& url, const std::string& saveToDirectory) {
  // "/" as the save-to directory gives "/host", not "//host".
  std::string result = MirrorDirectoryRoot(saveToDirectory);
  if (result.empty() || result.back() != '/')
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

std::string FileExtension(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos)
    return std::string();
  return std::string(name.substr(dot + 1));
}

bool IsHtmlName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos)
    return false;
  std::string_view extension = name.substr(dot + 1);
  return extension == "htm" || extension == "html" || extension == "shtml";
}
