#include "crawl/run/plan_start.h"

#include <algorithm>

#include "crawl/base/fetched_file.h"
#include "crawl/rules/mirror_paths.h"
#include "platform/ascii.h"
#include "platform/url_resolve.h"

std::optional<std::pair<std::string, std::string>> TakeUserInfo(std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos)
    return std::nullopt;
  const size_t begin = scheme + 3;
  const size_t end = std::min(url.find_first_of("/?#", begin), url.size());
  const size_t at = url.rfind('@', end - 1);
  if (at == std::string::npos || at < begin)
    return std::nullopt;
  const std::string userInfo = url.substr(begin, at - begin);
  const size_t colon = userInfo.find(':');
  url.erase(begin, at + 1 - begin);
  return std::pair(
      PercentDecoded(userInfo.substr(0, colon)),
      colon == std::string::npos ? std::string() : PercentDecoded(userInfo.substr(colon + 1)));
}

namespace {

// "scheme://server" of an address, as requests name their server.
std::string ServerOfStart(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos)
    return {};
  const size_t end = url.find_first_of("/?#", scheme + 3);
  return ToLowerAscii(std::string_view(url).substr(0, scheme + 3)) +
         url.substr(scheme + 3, end == std::string::npos ? end : end - scheme - 3);
}

// Whether the text begins with a scheme that is written without "//" (mailto:, javascript:
// ...): no web address. "host:8080/" and "user:password@host/" begin with a server, as wget
// reads them.
bool StartsWithScheme(std::string_view text) {
  static constexpr std::string_view kSchemes[] = {
      "javascript:", "mailto:", "data:", "tel:", "about:", "blob:", "file:", "urn:"};
  return std::any_of(std::begin(kSchemes), std::end(kSchemes),
                     [&](std::string_view scheme) { return StartsWithNoCase(text, scheme); });
}

}  // namespace

std::string TypedAddress(std::string_view text, bool webRules) {
  constexpr std::string_view kBlanks = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos)
    return {};
  std::string url(text.substr(first, text.find_last_not_of(kBlanks) - first + 1));
  // "HTTP://" is the scheme "http://", which links and names are read by.
  if (IsHttpUrl(url)) {
    const size_t scheme = url.find("://");
    std::transform(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(scheme), url.begin(),
                   LowerAscii);
  }
  if (webRules && url.find("://") == std::string::npos && url.front() != '/' &&
      url.front() != '.' && !StartsWithScheme(url))
    url = "http://" + url;
  return url;
}

std::optional<std::string> AddressProblem(const std::string& url) {
  if (!IsHttpUrl(url))
    return "not an http or https address";
  const size_t begin = url.find("://") + 3;
  const std::string_view server =
      std::string_view(url).substr(begin, url.find_first_of("/?#", begin) - begin);
  const bool blank = std::any_of(server.begin(), server.end(),
                                 [](char c) { return static_cast<unsigned char>(c) <= 0x20; });
  if (server.empty() || server.front() == ':' || blank || !ResolveLink(url, url))
    return "not a web address";
  return std::nullopt;
}

void SetStart(CrawlPlan& plan, CrawlStart start) {
  plan.start = std::move(start);
  const std::string typed = plan.start.url;
  plan.start.url = TypedAddress(typed, plan.completePages);
  // A login in the address would otherwise be in every log line, in the directory's name, and
  // make the start's own server look like another.
  if (std::optional<std::pair<std::string, std::string>> login = TakeUserInfo(plan.start.url)) {
    if (plan.network.user.empty()) {
      plan.network.user = login->first;
      plan.network.password = login->second;
    }
  }
  if (plan.start.url != typed)
    plan.start.localRoot = MirrorDirectory(plan.start.url, plan.start.saveToDirectory);
  // The other starts' logins go to their own servers alone, as the first's does.
  const std::string startServer = ServerOfStart(plan.start.url);
  for (std::string& more : plan.moreStarts) {
    std::optional<std::pair<std::string, std::string>> login = TakeUserInfo(more);
    const std::string server = ServerOfStart(more);
    if (!login || (EqualsNoCase(server, startServer) && !plan.network.user.empty()))
      continue;
    if (EqualsNoCase(server, startServer)) {
      plan.network.user = login->first;
      plan.network.password = login->second;
    } else {
      plan.network.moreLogins.push_back({server, login->first, login->second});
    }
  }
}

std::optional<std::string> WebRulesMissing(const CrawlPlan& plan) {
  if (plan.completePages)
    return std::nullopt;
  const NamingPlan plain;
  const NamingPlan& naming = plan.naming;
  const std::pair<bool, const char*> options[] = {
      {!naming.hostDirectories, "--no-host-directories"},
      {!naming.directories, "--no-directories"},
      {naming.cutDirs != 0, "--cut-dirs"},
      {naming.defaultPage != plain.defaultPage, "--default-page"},
      {naming.escapeControl != plain.escapeControl || naming.windows || naming.ascii ||
           naming.lowercase || naming.uppercase,
       "--restrict-file-names"},
      {naming.contentDisposition, "--content-disposition"},
      {plan.scope.httpsOnly, "--https-only"},
      {!plan.moreStarts.empty(), "--input-file"},
      {plan.render, "--render"},
  };
  for (const auto& [given, name] : options) {
    if (given)
      return "option " + std::string(name) + " needs --page-requisites (-p)";
  }
  return std::nullopt;
}
