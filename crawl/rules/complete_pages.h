#pragma once

#include <string>

#include "crawl/rules/crawl_rules.h"

// The rules of a crawl for complete pages. Pages are read with the HTML page reader and
// stylesheets with the stylesheet reader, whether fetched or found on disk, as what they were
// served as (or, without a record, by their names); links resolve as browsers resolve them.
// Pages are followed under the start address's directory on its server; everything else a page
// needs is fetched from that server wherever it lies there; no other server is contacted, by a
// link or by a redirect. A file under the base prefix goes where the link scanner's rules put
// it; one elsewhere on the server goes under the save-to directory, the server's directory, then
// its path, as if the base prefix were the server's root. With a query, the path names the file
// and the query follows its name, its "/" written %2F, so that it never becomes directories.
struct PageReference;

class CompletePageRules : public CrawlRules {
 public:
  // nofollow: links that a page, or its meta robots, asks crawlers not to follow are left out.
  CompletePageRules(const CrawlStart& start, const ScopePlan& scope);
  Placement Place(const std::string& basePrefix, const std::string& url) const override;
  void Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack) const override;
  RedirectRule Redirects(bool requisite) const override;
  bool KeepsRecords() const override { return true; }

 private:
  // One reference of a page or stylesheet, against base: pushed, or left out with the rule.
  // pages: the start's directory, under which pages are followed.
  void Take(const PageReference& reference, const std::string& base, const std::string& pages,
            bool followNone, LinkSink& linkStack) const;

  std::string m_localRoot;
  std::string m_saveToDirectory;
  std::string m_origin;  // "scheme://host:port" of the start address
  bool m_nofollow;
  ScopePlan m_scope;  // for the servers it spans to
};
