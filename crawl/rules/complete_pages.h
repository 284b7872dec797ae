#pragma once

#include <optional>
#include <string>
#include <vector>

#include "crawl/rules/crawl_rules.h"

// The rules of a crawl for complete pages. Pages are read with the HTML page reader and
// stylesheets with the stylesheet reader, whether fetched or found on disk, as what they were
// served as (or, without a record, by their names); links resolve as browsers resolve them.
// Pages are followed under each start address's directory on its server (with wget's recursion
// anywhere on it, unless it is told not to climb); everything else a page
// needs is fetched from those servers wherever it lies there; another server is contacted, by a
// link or by a redirect, only as the scope spans to it. Files are named from their addresses as
// they are (web_names.h): a last part without a dot is a file of that name.
struct PageReference;

class CompletePageRules : public CrawlRules {
 public:
  explicit CompletePageRules(const CrawlPlan& plan);
  Placement Place(const std::string& basePrefix, const std::string& url) const override;
  void Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack,
            FileReading* reading) const override;
  RedirectRule Redirects(bool requisite) const override;
  bool KeepsRecords() const override { return true; }
  void TakeFound(const std::string& url, bool page, LinkSink& linkStack) const override;

 private:
  // One reference of a page or stylesheet, against base: pushed, or left out with the rule.
  void Take(const PageReference& reference, const std::optional<std::string>& url, bool followNone,
            LinkSink& linkStack) const;
  // Whether a page at the address is followed: under a start's directory on its server.
  bool FollowsPage(const std::string& url) const;

  std::string m_saveToDirectory;
  NamingPlan m_naming;
  std::vector<std::string> m_origins;  // "scheme://host:port" of the start addresses
  std::vector<std::string> m_pages;    // each start's directory, ending in "/"
  bool m_nofollow;
  ScopePlan m_scope;  // for the servers it spans to
  RecursionPlan m_recursion;
};
