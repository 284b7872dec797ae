#include "platform/url_resolve.h"

#include <curl/curl.h>

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

}  // namespace

std::optional<std::string> ResolveLink(const std::string& base, const std::string& link) {
  Url url(curl_url());
  if (!url)
    return std::nullopt;
  constexpr unsigned kFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE;
  if (curl_url_set(url.get(), CURLUPART_URL, base.c_str(), kFlags) != CURLUE_OK)
    return std::nullopt;
  // Tabs and line breaks inside an address are dropped, as browsers drop them.
  std::string cleaned;
  for (char c : link) {
    if (c != '\t' && c != '\n' && c != '\r')
      cleaned += c;
  }
  if (curl_url_set(url.get(), CURLUPART_URL, cleaned.c_str(), kFlags) != CURLUE_OK)
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
