#pragma once

#include "crawl/crawl_dialog.h"
#include "crawl/crawl_session.h"

// Where a crawl puts the file of an address, and how it reads a file for further links.
class CrawlRules {
 public:
  virtual ~CrawlRules() = default;
  struct Placement {
    std::string localPath;
    bool stored = true;  // false: read for its links only, neither stored nor read from a copy
  };
  virtual Placement Place(const LinkStack& linkStack, const std::string& url) const = 0;
  virtual void Read(FetchedFile& file, const std::string& localPath,
                    LinkStack& linkStack) const = 0;
};

// The one-at-a-time crawl's rules: the relative part under the local root, and the link scanner
// for local paths with an HTML name.
class DescribedRules : public CrawlRules {
 public:
  explicit DescribedRules(const CrawlStart& start) : m_localRoot(start.localRoot) {}
  Placement Place(const LinkStack& linkStack, const std::string& url) const override;
  void Read(FetchedFile& file, const std::string& localPath, LinkStack& linkStack) const override;

 private:
  std::string m_localRoot;
};

// The crawl of RunCrawlSession with up to `jobs` files in transfer at once, over HTTP/1.1
// connections kept open between files. Everything else is that crawl's: the same link stack,
// local paths and local-copy rule, the same "Not saved" rules, log texts (interleaved), control
// updates, outcome values and endings. Two links that lead to one local path are never in
// transfer together: the second waits, then finds the first one's copy.
unsigned RunParallelCrawl(CrawlDialog* dialog, CrawlStart start, int jobs);
// The same with other rules for placing and reading files.
unsigned RunParallelCrawl(CrawlDialog* dialog, CrawlStart start, int jobs, const CrawlRules& rules);
