#pragma once

#include <memory>
#include <string>
#include <vector>

#include "crawl/base/crawl_plan.h"
#include "crawl/base/fetched_file.h"
#include "crawl/base/link_sink.h"
#include "crawl/read/page_reader.h"

// What reading a page or stylesheet for its links found, kept so that converting its links need
// not read it again.
struct FileReading {
  FileKind kind = FileKind::Other;
  std::string address;                // what it was read as, against which its references resolve
  PageLinks links;                    // a stylesheet's references stand outside any attribute
  std::vector<std::string> resolved;  // each reference's address; empty where it names none
  size_t size = 0;                    // of the text read
  size_t hash = 0;                    // std::hash of the text read
  bool whole = false;                 // read to its end, no stop halfway
};

// The rules of a crawl: where the file of an address goes, how a file is read for further
// links, and where a redirect may lead. Every road of the crawl asks them.
class CrawlRules {
 public:
  virtual ~CrawlRules() = default;
  struct Placement {
    std::string localPath;
    bool stored = true;  // false: read for its links only, neither stored nor read from a copy
  };
  // basePrefix: the start address up to its last "/", which decides what belongs to the site.
  virtual Placement Place(const std::string& basePrefix, const std::string& url) const = 0;
  // With reading, what was read is kept there, where the rules read references in place.
  virtual void Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack,
                    FileReading* reading) const = 0;
  // requisite: the request is for what a page needs to show, not for a page.
  virtual RedirectRule Redirects(bool requisite) const {
    (void)requisite;
    return {};
  }
  // Whether each stored file's type and address are recorded, for reading it again as what it is.
  virtual bool KeepsRecords() const { return false; }
  // An address a page's scripts reached, judged as the page's own reference would be: a link
  // (page) or what the page asked for. Pushed, or left out with the rule; none by default.
  virtual void TakeFound(const std::string& url, bool page, LinkSink& linkStack) const {
    (void)url;
    (void)page;
    (void)linkStack;
  }
};

// Whether a crawl keeps a record of each stored file: its rules read files by type, or the copy
// is converted, renamed or updated afterwards.
bool KeepsRecords(const CrawlPlan& plan, const CrawlRules& rules);

// The link scanner's rules: the relative part under the local root, the scanner for local
// paths with an HTML name, and redirects wherever the server sends them.
class LinkScannerRules : public CrawlRules {
 public:
  // nofollow: links the page asks crawlers not to follow are left out.
  LinkScannerRules(const CrawlStart& start, bool nofollow)
      : m_localRoot(start.localRoot), m_nofollow(nofollow) {}
  Placement Place(const std::string& basePrefix, const std::string& url) const override;
  void Read(FetchedFile& file, const std::string& localPath, LinkSink& linkStack,
            FileReading* reading) const override;

 private:
  std::string m_localRoot;
  bool m_nofollow;
};

std::unique_ptr<CrawlRules> RulesOf(const CrawlPlan& plan);
