#include "crawl/rules/complete_pages.h"

#include "crawl/read/page_reader.h"
#include "crawl/read/stylesheet_reader.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/rules/scope_rules.h"
#include "platform/ascii.h"
#include "platform/url_resolve.h"

namespace {

// The address of the server's root as the start address writes it: "http://host:port".
std::string ServerRoot(const std::string& url) {
  size_t scheme = url.find("://");
  size_t path = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return path == std::string::npos ? url : url.substr(0, path);
}

// The server's part of a root address as a directory name: a host of "." or ".." is no step
// up or aside.
std::string ServerDirectory(const std::string& root) {
  const size_t scheme = root.find("://");
  const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
  const std::string server = root.substr(start);
  if (server != "." && server != "..")
    return root;
  return root.substr(0, start) + (server == "." ? "%2E" : "%2E%2E");
}

// The local path of an address below a directory that stands for rootUrl. With a query, the
// path names the file (a directory's index where it ends with "/"), and the query follows the
// name with its "/" written %2F: neither it nor a ".." in it becomes a directory.
std::string LocalPathBelow(const std::string& url, size_t rootLength, const std::string& root) {
  const size_t query = url.find('?', rootLength);
  if (query == std::string::npos)
    return LocalPathOf(url, url.substr(rootLength), root);
  std::string local = root + url.substr(rootLength, query - rootLength);
  if (local.ends_with('/'))
    local += kIndexName;
  for (size_t i = query; i < url.size(); ++i)
    local += url[i] == '/' ? std::string("%2F") : std::string(1, url[i]);
  return local;
}

// Longer addresses are no links a page means; a request for one could not even be sent.
constexpr size_t kLongestLink = 65536;
// How many references are taken between two looks at the stop flag.
constexpr size_t kReferencesBetweenStops = 256;

}  // namespace

CompletePageRules::CompletePageRules(const CrawlStart& start, const ScopePlan& scope)
    : m_localRoot(start.localRoot),
      m_saveToDirectory(start.saveToDirectory),
      m_origin(OriginOf(start.url).value_or(std::string())),
      m_nofollow(scope.robots),
      m_scope(scope) {}

CrawlRules::Placement CompletePageRules::Place(const std::string& prefix,
                                               const std::string& url) const {
  // A start address whose query holds a "/" cuts its prefix inside the query, which must not
  // become directories: then every file is placed from the server's root.
  if (prefix.find('?') == std::string::npos && url.starts_with(prefix + "/"))
    return Placement{LocalPathBelow(url, prefix.size(), m_localRoot), true};
  const std::string root = ServerRoot(url);
  return Placement{LocalPathBelow(url, root.size(),
                                  MirrorDirectory(ServerDirectory(root) + "/", m_saveToDirectory)),
                   true};
}

RedirectRule CompletePageRules::Redirects(bool requisite) const {
  // Where a link would go: the start's server, or another whose pages, or whose files that
  // pages need, the plan takes.
  return [origin = m_origin, scope = m_scope, requisite](const std::string& target) {
    const std::optional<std::string> to = OriginOf(target);
    return to && (*to == origin || ServerInScope(scope, *to, !requisite));
  };
}

void CompletePageRules::Read(FetchedFile& file, const std::string& localPath,
                             LinkSink& linkStack) const {
  const FileKind kind = KindOf(file.contentType, localPath);
  if (kind == FileKind::Other || file.length <= 0)
    return;
  const std::string_view text(file.data.get(), static_cast<size_t>(file.length));
  // Links resolve against the address that answered, as a browser that followed the redirect.
  std::string base = file.finalUrl.empty() ? file.url : file.finalUrl;
  std::vector<PageReference> references;
  bool followNone = false;
  if (kind == FileKind::Page) {
    PageLinks links = ReadPage(text, &StopFlag());
    if (links.base) {
      if (std::optional<std::string> resolved = ResolveLink(base, *links.base))
        base = *resolved;
    }
    references = std::move(links.references);
    followNone = links.nofollow;
  } else {
    for (std::string& link : ReadStylesheet(text, &StopFlag()))
      references.push_back({std::move(link), false});
  }
  const std::string pages = linkStack.BasePrefix() + "/";
  for (size_t i = 0; i < references.size(); ++i) {
    // A page of a hundred thousand links must not hold up "Stop".
    if (i % kReferencesBetweenStops == 0 && StopFlag() != 0)
      return;
    Take(references[i], base, pages, followNone, linkStack);
  }
}

void CompletePageRules::Take(const PageReference& reference, const std::string& base,
                             const std::string& pages, bool followNone, LinkSink& linkStack) const {
  if (reference.link.size() > kLongestLink)
    return;
  std::optional<std::string> url = ResolveLink(base, reference.link);
  if (!url || url->size() > kLongestLink)
    return;  // no web address at all
  const std::optional<std::string> origin = OriginOf(*url);
  if (!origin)
    return;
  if (*origin == m_origin) {
    if (reference.page && !url->starts_with(pages))
      return;  // pages are followed under the start address's directory only
  } else if (!ServerInScope(m_scope, *origin, reference.page)) {
    // Another server the plan does not reach; left out by a rule when servers are spanned.
    if (m_scope.spanHosts)
      linkStack.LeaveOut(*url, "another server");
    return;
  }
  if (m_nofollow && reference.page && (followNone || reference.nofollow)) {
    linkStack.LeaveOut(*url, "nofollow");
    return;
  }
  if (linkStack.WasAccepted(*url))
    linkStack.SeenAgain(*url);
  else
    linkStack.Push(std::string(), *url, 1, !reference.page);
}
