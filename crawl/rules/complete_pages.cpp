#include "crawl/rules/complete_pages.h"

#include <algorithm>
#include <functional>

#include "crawl/read/page_reader.h"
#include "crawl/read/stylesheet_reader.h"
#include "crawl/rules/mirror_paths.h"
#include "crawl/rules/scope_rules.h"
#include "crawl/rules/web_names.h"
#include "platform/ascii.h"
#include "platform/url_resolve.h"

namespace {

// Longer addresses are no links a page means; a request for one could not even be sent.
constexpr size_t kLongestLink = 65536;
// How many references are taken between two looks at the stop flag.
constexpr size_t kReferencesBetweenStops = 256;
// The bytes of one file's addresses kept for converting it: a file beyond is read again then.
constexpr size_t kMostKeptAddressBytes = size_t{32} << 20;

// A page's references, or a stylesheet's as a <style> block's.
PageLinks LinksOf(FileKind kind, std::string_view text) {
  if (kind == FileKind::Page)
    return ReadPage(text, &StopFlag());
  PageLinks links;
  for (StylesheetLink& link : ReadStylesheetLinks(text, &StopFlag())) {
    PageReference& reference = links.references.emplace_back();
    reference.link = std::move(link.link);
    reference.begin = link.begin;
    reference.end = link.end;
    reference.css = true;
    reference.inStyleBlock = true;
  }
  return links;
}

}  // namespace

CompletePageRules::CompletePageRules(const CrawlPlan& plan)
    : m_saveToDirectory(plan.start.saveToDirectory),
      m_naming(plan.naming),
      m_nofollow(plan.scope.robots),
      m_scope(plan.scope),
      m_recursion(plan.recursion) {
  std::vector<std::string> starts{plan.start.url};
  starts.insert(starts.end(), plan.moreStarts.begin(), plan.moreStarts.end());
  for (const std::string& start : starts) {
    const std::optional<std::string> resolved = ResolveLink(start, start);
    const std::optional<std::string> origin = OriginOf(resolved.value_or(start));
    if (!resolved || !origin)
      continue;
    m_origins.push_back(*origin);
    m_pages.push_back(resolved->substr(0, resolved->rfind('/') + 1));
  }
}

CrawlRules::Placement CompletePageRules::Place(const std::string& basePrefix,
                                               const std::string& url) const {
  (void)basePrefix;  // every file is named from its whole address
  return Placement{WebLocalPath(url, m_saveToDirectory, m_naming), true};
}

bool CompletePageRules::FollowsPage(const std::string& url) const {
  if (m_recursion.on && !m_recursion.noParent)
    return true;  // anywhere on the start's server, as wget's recursion goes
  for (const std::string& pages : m_pages) {
    if (url.starts_with(pages))
      return true;
  }
  return false;
}

RedirectRule CompletePageRules::Redirects(bool requisite) const {
  // Where a link would go: the start's server, or another whose pages, or whose files that
  // pages need, the plan takes.
  return [origins = m_origins, scope = m_scope, requisite](const std::string& target) {
    const std::optional<std::string> to = OriginOf(target);
    if (scope.httpsOnly && !StartsWithNoCase(target, "https://"))
      return false;  // as a link there would be left out
    return to && (std::find(origins.begin(), origins.end(), *to) != origins.end() ||
                  ServerInScope(scope, *to, !requisite));
  };
}

void CompletePageRules::Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack,
                             FileReading* reading) const {
  const FileKind kind = KindOf(file.contentType, localPath);
  if (kind == FileKind::Other || file.length <= 0)
    return;
  const std::string_view text(file.data.get(), static_cast<size_t>(file.length));
  // Links resolve against the address that answered, as a browser that followed the redirect.
  const std::string address = file.finalUrl.empty() ? file.url : file.finalUrl;
  std::string base = address;
  PageLinks links = LinksOf(kind, text);
  if (links.base) {
    if (std::optional<std::string> resolved = ResolveLink(base, *links.base))
      base = *resolved;
  }
  bool keep = reading != nullptr;
  size_t keptBytes = 0;
  std::vector<std::string> resolved(keep ? links.references.size() : 0);
  for (size_t i = 0; i < links.references.size(); ++i) {
    // A page of a hundred thousand links must not hold up "Stop".
    if (i % kReferencesBetweenStops == 0 && StopFlag() != 0)
      return;
    const PageReference& reference = links.references[i];
    // A fragment alone names the page itself: nothing to fetch.
    std::optional<std::string> url;
    if (!reference.link.empty() && reference.link.front() != '#')
      url = ResolveLink(base, reference.link);
    Take(reference, url, links.nofollow, linkStack);
    if (keep && url) {
      keptBytes += url->size();
      keep = keptBytes <= kMostKeptAddressBytes;
      if (keep)
        resolved[i] = std::move(*url);
      else
        resolved = {};
    }
  }
  if (keep && StopFlag() == 0) {
    reading->kind = kind;
    reading->address = address;
    reading->links = std::move(links);
    reading->resolved = std::move(resolved);
    reading->size = text.size();
    reading->hash = std::hash<std::string_view>{}(text);
    reading->whole = true;
  }
}

void CompletePageRules::TakeFound(const std::string& url, bool page, LinkSink& linkStack) const {
  PageReference reference;
  reference.link = url;
  reference.page = page;
  Take(reference, url, false, linkStack);
}

void CompletePageRules::Take(const PageReference& reference, const std::optional<std::string>& url,
                             bool followNone, LinkSink& linkStack) const {
  if (!url || reference.link.size() > kLongestLink || url->size() > kLongestLink)
    return;  // no web address at all
  // Recursion without -p follows what a page needs as any link: as deep, and as far.
  const bool page = reference.page || (m_recursion.on && !m_recursion.requisites);
  const std::optional<std::string> origin = OriginOf(*url);
  if (!origin)
    return;
  if (m_scope.httpsOnly && !StartsWithNoCase(*url, "https://")) {
    linkStack.LeaveOut(*url, "not https");
    return;
  }
  if (std::find(m_origins.begin(), m_origins.end(), *origin) != m_origins.end()) {
    if (page && !FollowsPage(*url))
      return;  // pages are followed under the start addresses' directories, or -r's scope
  } else if (!ServerInScope(m_scope, *origin, page)) {
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
    linkStack.Push(std::string(), *url, 1, !page);
}
