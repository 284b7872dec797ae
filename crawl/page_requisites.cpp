#include "crawl/page_requisites.h"

#include <cctype>

#include "crawl/mirror_writer.h"
#include "crawl/page_reader.h"
#include "crawl/stylesheet_reader.h"
#include "platform/url_resolve.h"

namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

enum class Kind { Other, Page, Stylesheet };

// By the answer's type when there is one, else by the name's extension.
Kind KindOf(const FetchedFile& file, const std::string& localPath) {
  std::string type = Lower(file.contentType.substr(0, file.contentType.find(';')));
  while (!type.empty() && type.back() == ' ')
    type.pop_back();
  if (type == "text/html" || type == "application/xhtml+xml")
    return Kind::Page;
  if (type == "text/css")
    return Kind::Stylesheet;
  const size_t slash = localPath.rfind('/');
  const size_t dot = localPath.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return Kind::Other;
  const std::string extension = Lower(std::string_view(localPath).substr(dot + 1));
  if (extension == "htm" || extension == "html" || extension == "shtml" || extension == "xhtml")
    return Kind::Page;
  return extension == "css" ? Kind::Stylesheet : Kind::Other;
}

// The address of the server's root as the start address writes it: "http://host:port".
std::string ServerRoot(const std::string& url) {
  size_t scheme = url.find("://");
  size_t path = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
  return path == std::string::npos ? url : url.substr(0, path);
}

}  // namespace

PageRequisiteRules::PageRequisiteRules(const CrawlStart& start)
    : m_localRoot(start.localRoot),
      m_saveToDirectory(start.saveToDirectory),
      m_origin(OriginOf(start.url).value_or(std::string())) {}

CrawlRules::Placement PageRequisiteRules::Place(const LinkStack& linkStack,
                                                const std::string& url) const {
  const std::string& prefix = linkStack.BasePrefix();
  if (url.starts_with(prefix + "/"))
    return Placement{LocalPathOf(url, url.substr(prefix.size()), m_localRoot), true};
  const std::string root = ServerRoot(url);
  return Placement{
      LocalPathOf(url, url.substr(root.size()), MirrorDirectory(root + "/", m_saveToDirectory)),
      true};
}

void PageRequisiteRules::Read(FetchedFile& file, const std::string& localPath,
                              LinkStack& linkStack) const {
  const Kind kind = KindOf(file, localPath);
  if (kind == Kind::Other || file.length <= 0)
    return;
  const std::string_view text(file.data.get(), static_cast<size_t>(file.length));
  std::string base = file.url;
  std::vector<PageReference> references;
  if (kind == Kind::Page) {
    PageLinks links = ReadPage(text);
    if (links.base) {
      if (std::optional<std::string> resolved = ResolveLink(file.url, *links.base))
        base = *resolved;
    }
    references = std::move(links.references);
  } else {
    for (std::string& link : ReadStylesheet(text))
      references.push_back({std::move(link), false});
  }
  const std::string pages = linkStack.BasePrefix() + "/";
  for (const PageReference& reference : references) {
    std::optional<std::string> url = ResolveLink(base, reference.link);
    if (!url || OriginOf(*url) != m_origin)
      continue;  // another server, or no web address at all
    if (reference.page && !url->starts_with(pages))
      continue;  // pages are followed under the start address's directory only
    if (!linkStack.WasAccepted(*url))
      linkStack.Push(std::string(), *url, 1);
  }
}
