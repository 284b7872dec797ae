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

}  // namespace

std::optional<std::string> ResolveLink(const std::string& base, const std::string& link) {
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
  return Part(url.get(), CURLUPART_URL);
}

std::optional<std::string> OriginOf(const std::string& url) {
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
