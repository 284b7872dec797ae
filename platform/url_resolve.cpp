#include "platform/url_resolve.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

std::optional<std::string> Part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr)
    return std::nullopt;
  std::string value(text);
  curl_free(text);
  return value;
}

bool IsWebScheme(CURLU* url) {
  std::optional<std::string> scheme = Part(url, CURLUPART_SCHEME);
  return scheme && (*scheme == "http" || *scheme == "https");
}

// "." or ".." when a path segment is one, written plainly or with escapes ("%2e", ".%2E",
// "%2e%2e", ...), as browsers and servers read them; nothing otherwise.
std::optional<std::string_view> DotSegment(std::string_view segment) {
  if (segment.size() > 6 || segment.find('%') == std::string_view::npos)
    return std::nullopt;
  std::string lower(segment);
  for (char& c : lower)
    c = c == 'E' ? 'e' : c;
  if (lower == "%2e")
    return ".";
  if (lower == ".%2e" || lower == "%2e." || lower == "%2e%2e")
    return "..";
  return std::nullopt;
}

// A path as browsers read it in a web address: a backslash is a "/", and dot segments written
// with escapes are dots, so that resolving removes them like any other.
std::string PathAsBrowsersReadIt(const std::string& text) {
  size_t path = 0;
  const size_t scheme = text.find("://");
  if (scheme != std::string::npos && scheme < text.find_first_of("/?#")) {
    path = text.find('/', scheme + 3);
  } else if (text.starts_with("//")) {
    path = text.find('/', 2);
  }
  const size_t pathEnd = std::min(text.find_first_of("?#", path), text.size());
  if (path == std::string::npos || text.find_first_of("%\\", path) >= pathEnd)
    return text;
  std::string slashed = text.substr(0, pathEnd);
  std::replace(slashed.begin() + static_cast<std::ptrdiff_t>(path), slashed.end(), '\\', '/');
  std::string out = slashed.substr(0, path);
  for (size_t start = path; start <= pathEnd;) {
    const size_t slash = std::min(slashed.find('/', start), pathEnd);
    const std::string_view segment = std::string_view(slashed).substr(start, slash - start);
    out += DotSegment(segment).value_or(segment);
    if (slash < pathEnd)
      out += '/';
    start = slash + 1;
  }
  out += text.substr(pathEnd);
  return out;
}

bool IsPlain(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// A path, and a query after it, of plain bytes alone.
bool IsPlainPathAndQuery(std::string_view text) {
  const size_t query = text.find('?');
  const std::string_view path = text.substr(0, query);
  // libcurl reads empty segments its own way.
  if (path.find("//") != std::string_view::npos ||
      !std::all_of(path.begin(), path.end(), [](char c) { return IsPlain(c) || c == '/'; }))
    return false;
  if (query == std::string_view::npos)
    return true;
  // libcurl drops an empty query.
  const std::string_view rest = text.substr(query + 1);
  return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
    return IsPlain(c) || c == '/' || c == '=' || c == '&';
  });
}

// Whether a path holds a "." or ".." segment.
bool HasDotSegment(std::string_view path) {
  for (size_t start = 0; start <= path.size();) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, slash - start);
    if (segment == "." || segment == "..")
      return true;
    start = slash + 1;
  }
  return false;
}

// RFC 3986's removal of dot segments, from a path that begins with "/".
std::string WithoutDotSegments(std::string_view path) {
  std::string out;
  size_t start = 1;
  while (start <= path.size()) {
    const size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view segment = path.substr(start, slash - start);
    const bool last = slash == path.size();
    if (segment == "..") {
      out.resize(out.empty() ? 0 : out.rfind('/'));
      if (last)
        out += '/';
    } else if (segment == ".") {
      if (last)
        out += '/';
    } else {
      out += '/';
      out += segment;
    }
    start = slash + 1;
  }
  return out.empty() ? "/" : out;
}

// A host libcurl keeps as written: a name whose labels begin with letters, or four decimal
// numbers up to 255 without leading zeros. Numbers written otherwise ("127.1", "0x7f.1",
// "2130706433") it reads as addresses and writes anew.
bool NamedOrDottedQuad(std::string_view host) {
  int numbers = 0;
  bool named = true;
  for (size_t start = 0; start <= host.size();) {
    const size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty())
      return false;
    if (label.front() >= '0' && label.front() <= '9') {
      named = false;
      const bool decimal =
          std::all_of(label.begin(), label.end(), [](char c) { return c >= '0' && c <= '9'; });
      if (!decimal || label.size() > 3 || (label.size() > 1 && label.front() == '0') ||
          std::stoi(std::string(label)) > 255)
        return false;
      ++numbers;
    }
    start = dot + 1;
  }
  return named || numbers == 4;
}

// The beginning of a plain web address: a lower-case web scheme and host, a port of digits,
// then its path's "/".
struct PlainStart {
  std::string_view scheme;
  std::string_view host;
  std::string_view port;  // empty: the scheme's
  size_t path = 0;
};

std::optional<PlainStart> PlainStartOf(std::string_view url) {
  PlainStart start;
  if (url.starts_with("http://"))
    start.scheme = "http";
  else if (url.starts_with("https://"))
    start.scheme = "https";
  else
    return std::nullopt;
  const size_t hostStart = start.scheme.size() + 3;
  start.path = url.find('/', hostStart);
  if (start.path == std::string_view::npos || start.path == hostStart)
    return std::nullopt;
  const std::string_view authority = url.substr(hostStart, start.path - hostStart);
  const size_t colon = authority.find(':');
  start.host = authority.substr(0, colon);
  if (colon != std::string_view::npos)
    start.port = authority.substr(colon + 1);
  const bool hostPlain = std::all_of(start.host.begin(), start.host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
  });
  const bool portPlain =
      colon == std::string_view::npos ||
      (!start.port.empty() && start.port.size() <= 5 && start.port.front() != '0' &&
       std::all_of(start.port.begin(), start.port.end(),
                   [](char c) { return c >= '0' && c <= '9'; }) &&
       std::stoi(std::string(start.port)) <= 65535);
  if (!hostPlain || !portPlain || start.host.empty() || !NamedOrDottedQuad(start.host))
    return std::nullopt;
  return start;
}

}  // namespace

std::optional<std::string> ResolvePlainLink(std::string_view base, std::string_view link) {
  // The base: a plain beginning, a plain path without dot segments and a plain query.
  const std::optional<PlainStart> start = PlainStartOf(base);
  if (!start)
    return std::nullopt;
  const size_t pathStart = start->path;
  const std::string_view basePathAndQuery = base.substr(pathStart);
  const std::string_view basePath = basePathAndQuery.substr(0, basePathAndQuery.find('?'));
  if (!IsPlainPathAndQuery(basePathAndQuery) || HasDotSegment(basePath))
    return std::nullopt;
  // The link: absolute with a plain beginning, a relative or root-relative path, or a query
  // alone, with a fragment after. (An empty one, or a fragment alone, libcurl reads otherwise.)
  link = link.substr(0, link.find('#'));
  if (const std::optional<PlainStart> own = PlainStartOf(link)) {
    const std::string_view pathAndQuery = link.substr(own->path);
    if (!IsPlainPathAndQuery(pathAndQuery))
      return std::nullopt;
    const size_t query = pathAndQuery.find('?');
    std::string out(link.substr(0, own->path));
    out += WithoutDotSegments(pathAndQuery.substr(0, query));
    if (query != std::string_view::npos)
      out += pathAndQuery.substr(query);
    return out;
  }
  if (link.empty() || link.starts_with("//") || !IsPlainPathAndQuery(link))
    return std::nullopt;
  std::string out(base.substr(0, pathStart));
  if (link.front() == '?')
    return out += std::string(basePath) + std::string(link);
  const size_t query = link.find('?');
  const std::string_view linkPath = link.substr(0, query);
  std::string merged =
      linkPath.starts_with('/')
          ? std::string(linkPath)
          : std::string(basePath.substr(0, basePath.rfind('/') + 1)) + std::string(linkPath);
  out += WithoutDotSegments(merged);
  if (query != std::string_view::npos)
    out += link.substr(query);
  return out;
}

std::optional<std::string> ResolveLink(const std::string& base, const std::string& link) {
  if (std::optional<std::string> plain = ResolvePlainLink(base, link))
    return plain;
  return ResolveLinkWithCurl(base, link);
}

std::optional<std::string> ResolveLinkWithCurl(const std::string& base, const std::string& link) {
  Url url(curl_url());
  if (!url)
    return std::nullopt;
  constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
  if (curl_url_set(url.get(), CURLUPART_URL, PathAsBrowsersReadIt(base).c_str(), kFlags) !=
      CURLUE_OK)
    return std::nullopt;
  // Tabs and line breaks inside an address are dropped, as browsers drop them.
  std::string cleaned;
  for (char c : link) {
    if (c != '\t' && c != '\n' && c != '\r')
      cleaned += c;
  }
  if (curl_url_set(url.get(), CURLUPART_URL, PathAsBrowsersReadIt(cleaned).c_str(), kFlags) !=
      CURLUE_OK)
    return std::nullopt;
  if (!IsWebScheme(url.get()))
    return std::nullopt;
  curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
  // A login written into a link is no part of the address fetched, logged or named after.
  curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
  curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
  return Part(url.get(), CURLUPART_URL);
}

std::optional<std::string> OriginOf(const std::string& url) {
  if (const std::optional<PlainStart> plain = PlainStartOf(url)) {
    const std::string_view port = !plain->port.empty()       ? plain->port
                                  : plain->scheme == "https" ? "443"
                                                             : "80";
    return std::string(plain->scheme) + "://" + std::string(plain->host) + ":" + std::string(port);
  }
  Url parsed(curl_url());
  if (!parsed ||
      curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
          CURLUE_OK ||
      !IsWebScheme(parsed.get()))
    return std::nullopt;
  std::optional<std::string> scheme = Part(parsed.get(), CURLUPART_SCHEME);
  std::optional<std::string> host = Part(parsed.get(), CURLUPART_HOST);
  std::optional<std::string> port = Part(parsed.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (!scheme || !host || !port)
    return std::nullopt;
  return *scheme + "://" + *host + ":" + *port;
}

std::string BrowserReferrer(const std::string& page, const std::string& target) {
  const std::optional<std::string> from = OriginOf(page);
  const std::optional<std::string> to = OriginOf(target);
  if (!from || !to || (from->starts_with("https:") && !to->starts_with("https:")))
    return {};
  if (*from == *to)
    return page;
  const size_t path = page.find_first_of("/?#", page.find("://") + 3);
  return page.substr(0, path) + "/";
}

std::string WithoutLogin(std::string url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos)
    return url;
  const size_t begin = scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  const size_t at = url.rfind('@', end == 0 ? 0 : end - 1);
  if (at != std::string::npos && at >= begin && at < end)
    url.erase(begin, at + 1 - begin);
  return url;
}
