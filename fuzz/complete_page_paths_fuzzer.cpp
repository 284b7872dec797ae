// Any link on a page of a complete-page crawl, resolved and placed: the local path lies under
// the save-to directory and never climbs out of it, whatever the address's path or query holds.
#include <cstdint>
#include <string>

#include "crawl/rules/complete_pages.h"
#include "crawl/rules/mirror_paths.h"
#include "platform/url_resolve.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string link(reinterpret_cast<const char*>(data), size);
  static const CompletePageRules rules = [] {
    CrawlPlan plan;
    plan.start = CrawlStart{"http://host:8080/docs/", "/srv/Sites/host:8080/docs", "/srv/Sites"};
    plan.completePages = true;
    return CompletePageRules(plan);
  }();
  std::optional<std::string> url = ResolveLink("http://host:8080/docs/a/page.htm", link);
  if (!url)
    return 0;
  const std::string path = rules.Place("http://host:8080/docs", *url).localPath;
  if (!path.starts_with("/srv/Sites/") || HasParentSegment(path.substr(11)))
    __builtin_trap();
  return 0;
}
