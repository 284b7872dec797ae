#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "crawl/crawl_plan.h"
#include "crawl/crawl_rules.h"
#include "crawl/http_fetcher.h"
#include "crawl/link_converter.h"
#include "crawl/mirror_store.h"

// What a crawl does to its copy beyond storing files, each part asked for by the plan: names a
// browser opens from disk (a page served as HTML ends in .html, a stylesheet in .css), earlier
// copies asked for again only if they changed, and, once the crawl is over, links rewritten so
// that the copy reads from disk.
class CopyUpkeep {
 public:
  CopyUpkeep(const CrawlPlan& plan, const CrawlRules& rules, MirrorStore& store);

  // Where the earlier copy of a local path is, when there is one: the path itself, or the name
  // that a browser opens.
  std::optional<std::string> EarlierCopy(const std::string& localPath);
  // The request header lines that ask for a file only if it changed since its copy was stored.
  std::vector<std::string> Conditions(const std::string& copyPath);
  // The local path a fetched file is stored under.
  std::string StoredName(const std::string& localPath, const FetchedFile& file) const;
  // A page or stylesheet whose links were rewritten, read again with the addresses it named
  // before, so that a rerun follows the same links.
  void RestoreAddresses(FetchedFile& file, const std::string& localPath);
  // Rewrites every stored page and stylesheet: a reference to a stored file becomes a relative
  // path to it, any other its absolute address. Stops when the flag is raised.
  void ConvertLinks(const std::string& basePrefix, const std::atomic<int>& stop);

 private:
  // The file stored for an address, when one is.
  std::optional<std::string> StoredFileOf(const std::string& url, const std::string& basePrefix);
  std::optional<std::string> ConvertedAddress(const std::string& localPath,
                                              const FoundReference& reference,
                                              const std::string& basePrefix);

  const CrawlPlan& m_plan;
  const CrawlRules& m_rules;
  MirrorStore& m_store;
};
