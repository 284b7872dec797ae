#pragma once

#include <string>

#include "crawl/parallel_crawl.h"

// The rules of a crawl for complete pages. Pages are read with the HTML page reader and
// stylesheets with the stylesheet reader, whether fetched or found on disk; links resolve as
// browsers resolve them. Pages are followed under the start address's directory on its server;
// everything else a page needs is fetched from that server wherever it lies there; other
// servers are never contacted. A file under the base prefix goes where the one-at-a-time crawl
// puts it; one elsewhere on the server goes under the save-to directory, the server's
// directory, then its path, as if the base prefix were the server's root.
class PageRequisiteRules : public CrawlRules {
 public:
  explicit PageRequisiteRules(const CrawlStart& start);
  Placement Place(const LinkStack& linkStack, const std::string& url) const override;
  void Read(FetchedFile& file, const std::string& localPath, LinkStack& linkStack) const override;

 private:
  std::string m_localRoot;
  std::string m_saveToDirectory;
  std::string m_origin;  // "scheme://host:port" of the start address
};
