#include "crawl/rules/web_names.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "crawl/rules/mirror_paths.h"
#include "platform/ascii.h"

namespace {

// Whether a name is one Windows keeps for a device, with any extension.
bool IsDeviceName(std::string_view name) {
  const std::string base = ToLowerAscii(name.substr(0, name.find('.')));
  for (const char* device : {"con", "prn", "aux", "nul"}) {
    if (base == device)
      return true;
  }
  return base.size() == 4 && (base.starts_with("com") || base.starts_with("lpt")) &&
         base[3] >= '1' && base[3] <= '9';
}

bool Escaped(unsigned char c, const NamingPlan& naming) {
  // "/" and NUL stand in no name, whatever the plan.
  if (c == '/' || c == 0)
    return true;
  const bool control = c < 0x20 || c == 0x7F;
  if (control && (naming.escapeControl || naming.windows))
    return true;
  if (naming.ascii && c >= 0x80)
    return true;
  static constexpr ByteSet kWindows("\\:*?\"<>|");
  return naming.windows && kWindows.Has(c);
}

std::vector<std::string_view> Steps(std::string_view path) {
  std::vector<std::string_view> steps;
  size_t start = 0;
  for (;;) {
    const size_t slash = path.find('/', start);
    steps.push_back(path.substr(start, slash - start));
    if (slash == std::string_view::npos)
      return steps;
    start = slash + 1;
  }
}

// A name that would step out of its directory is no name.
std::string Safe(std::string name) {
  if (name == ".")
    return "%2E";
  if (name == "..")
    return "%2E%2E";
  return name;
}

// A name a file system takes at most 255 bytes of: a longer one keeps its start and its
// extension, with a digest of the whole between, so that two long names stay two.
std::string Fitted(std::string name) {
  constexpr size_t kLongest = 255;
  if (name.size() <= kLongest)
    return name;
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : name)
    hash = (hash ^ c) * 0x100000001b3ULL;
  char digest[18];
  std::snprintf(digest, sizeof digest, "~%08llx", static_cast<unsigned long long>(hash >> 32));
  const size_t dot = name.rfind('.');
  const std::string extension =
      dot != std::string::npos && name.size() - dot <= 12 ? name.substr(dot) : std::string();
  size_t keep = kLongest - extension.size() - std::strlen(digest);
  // Never in the middle of a character's bytes, nor of an escape.
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80)
    --keep;
  const size_t percent = name.rfind('%', keep);
  if (percent != std::string::npos && keep - percent < 3)
    keep = percent;
  return name.substr(0, keep) + digest + extension;
}

}  // namespace

std::string RestrictedName(std::string_view name, const NamingPlan& naming) {
  std::string out;
  for (unsigned char c : name) {
    if (Escaped(c, naming)) {
      AppendPercentEscaped(out, c);
    } else if (naming.lowercase) {
      out += LowerAscii(static_cast<char>(c));
    } else if (naming.uppercase && c >= 'a' && c <= 'z') {
      out += static_cast<char>(c - 'a' + 'A');
    } else {
      out += static_cast<char>(c);
    }
  }
  if (!naming.windows)
    return out;
  // Windows drops a name's trailing dots and blanks, and keeps some names for devices.
  while (!out.empty() && (out.back() == '.' || out.back() == ' ')) {
    const char last = out.back();
    out.pop_back();
    AppendPercentEscaped(out, static_cast<unsigned char>(last));
  }
  // "con_.txt": the type stays at the end, for a browser that goes by it.
  if (IsDeviceName(out))
    out.insert(std::min(out.find('.'), out.size()), "_");
  return out;
}

std::string WebLocalPath(const std::string& url, const std::string& saveToDirectory,
                         const NamingPlan& naming) {
  const size_t scheme = url.find("://");
  const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
  const size_t path = std::min(url.find_first_of("/?#", authority), url.size());
  const size_t query = std::min(url.find('?', path), url.size());
  const size_t fragment = std::min(url.find('#', query), url.size());
  std::vector<std::string_view> steps = Steps(std::string_view(url).substr(path, query - path));
  if (!steps.empty() && steps.front().empty())
    steps.erase(steps.begin());  // the path's own leading "/"
  std::string file = steps.empty() ? std::string() : std::string(steps.back());
  if (!steps.empty())
    steps.pop_back();
  if (file.empty())
    file = naming.defaultPage;
  // The query is part of the file's name, with "/" that can make no directory.
  std::string queryText;
  for (size_t i = query; i < fragment; ++i)
    queryText += url[i] == '/' ? std::string("%2F") : std::string(1, url[i]);
  if (naming.windows && !queryText.empty())
    queryText[0] = '@';  // "?" names no file there
  const size_t cut = std::min(static_cast<size_t>(std::max(naming.cutDirs, 0)), steps.size());
  steps.erase(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(cut));
  if (!naming.directories)
    steps.clear();
  std::string local = MirrorDirectoryRoot(saveToDirectory);
  // All in one directory is one for every server too.
  if (naming.hostDirectories && naming.directories) {
    std::string host = url.substr(authority, path - authority);
    // A login written into the address names no directory.
    host.erase(0, std::min(host.rfind('@') + 1, host.size()));
    // "host+port" there, as ":" names no file.
    if (naming.windows)
      std::replace(host.begin(), host.end(), ':', '+');
    local += "/" + Safe(RestrictedName(host, naming));
  }
  // Names are the address's own, its escapes undone ("my%20file" is "my file"), then written
  // as the plan writes names.
  for (std::string_view step : steps)
    local += "/" + Fitted(Safe(RestrictedName(PercentDecoded(step), naming)));
  return local + "/" +
         Fitted(Safe(RestrictedName(PercentDecoded(file), naming) +
                     RestrictedName(queryText, naming)));
}

std::optional<std::string> DispositionName(std::string_view value, const NamingPlan& naming) {
  // filename*=charset'language'escaped, which says more than filename= where both are given.
  std::string name;
  const std::string lower = ToLowerAscii(value);
  size_t at = lower.find("filename*=");
  if (at != std::string::npos) {
    std::string_view rest = value.substr(at + 10);
    rest = rest.substr(0, rest.find(';'));
    const size_t quote = rest.find('\'', rest.find('\'') + 1);
    if (quote != std::string_view::npos)
      name = PercentDecoded(TrimSpace(rest.substr(quote + 1)));
  }
  at = name.empty() ? lower.find("filename=") : std::string::npos;
  if (at != std::string::npos) {
    std::string_view rest = TrimSpace(value.substr(at + 9));
    if (rest.starts_with('"')) {
      rest.remove_prefix(1);
      name = std::string(rest.substr(0, rest.find('"')));
    } else {
      name = std::string(TrimSpace(rest.substr(0, rest.find(';'))));
    }
  }
  // Its last part alone: a name never leads into another directory.
  name = name.substr(std::min(name.find_last_of("/\\") + 1, name.size()));
  std::string written = Fitted(RestrictedName(name, naming));
  // "/" and NUL can stand in no name; a name of dots alone names no file.
  if (written.empty() || written.find_first_not_of('.') == std::string::npos ||
      written.find('\0') != std::string::npos)
    return std::nullopt;
  return written;
}

std::string NumberedName(const std::string& localPath, int n) {
  const size_t slash = localPath.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = localPath.rfind('.');
  // An extension is a short run of letters and digits after the name's last dot.
  const auto extension = std::string_view(localPath).substr(dot == std::string::npos ? 0 : dot + 1);
  if (dot == std::string::npos || dot <= start || extension.empty() || extension.size() > 8 ||
      !std::all_of(extension.begin(), extension.end(),
                   [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
    dot = localPath.size();
  return localPath.substr(0, dot) + "~" + std::to_string(n) + localPath.substr(dot);
}
