#include "crawl/rules/crawl_rules.h"

#include "crawl/read/link_scanner.h"
#include "crawl/read/page_reader.h"
#include "crawl/rules/complete_pages.h"
#include "crawl/rules/mirror_paths.h"

#include <unordered_set>

CrawlRules::Placement LinkScannerRules::Place(const std::string& basePrefix,
                                              const std::string& url) const {
  const std::string rel = url.starts_with(basePrefix) ? url.substr(basePrefix.size()) : "";
  // A URL outside the base prefix has no local copy of its own: its path is the root's.
  return Placement{LocalPathOf(url, rel, m_localRoot), !rel.empty()};
}

void LinkScannerRules::Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack,
                            FileReading* reading) const {
  (void)reading;  // the scanner reads no places
  if (!IsHtmlName(localPath))
    return;
  if (!m_nofollow || file.length <= 0)
    return LinkScanner::ScanPage(file, linkStack);
  // The scanner sees no attributes but its link's: the page reader says which to leave out.
  PageLinks read =
      ReadPage(std::string_view(file.data.get(), static_cast<size_t>(file.length)), &StopFlag());
  LinkScanner::Nofollow nofollow;
  nofollow.all = read.nofollow;
  // A link is left out only where the page never names it without nofollow, as complete pages
  // take it from the one anchor that allows it.
  std::unordered_set<std::string> followed;
  for (const PageReference& reference : read.references) {
    if (reference.page && !reference.nofollow)
      followed.insert(reference.link);
  }
  for (PageReference& reference : read.references) {
    if (reference.page && reference.nofollow && !followed.contains(reference.link))
      nofollow.links.insert(std::move(reference.link));
  }
  LinkScanner::ScanPage(file, linkStack, &nofollow);
}

bool KeepsRecords(const CrawlPlan& plan, const CrawlRules& rules) {
  return rules.KeepsRecords() || plan.convertLinks || plan.adjustExtension || plan.update;
}

std::unique_ptr<CrawlRules> RulesOf(const CrawlPlan& plan) {
  if (plan.completePages)
    return std::make_unique<CompletePageRules>(plan);
  return std::make_unique<LinkScannerRules>(plan.start, plan.scope.robots);
}
