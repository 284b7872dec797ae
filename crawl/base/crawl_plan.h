#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crawl/base/crawl_dialog.h"
#include "platform/network_settings.h"

// What a crawl takes beyond the rules of its reading: how many links deep, which file names,
// addresses and directories. Empty, it leaves every link as the reading rules have it.
struct ScopePlan {
  int level = 0;                    // links from the start page; 0: no limit
  std::vector<std::string> accept;  // suffixes, or shell patterns, of file names
  std::vector<std::string> reject;
  std::string acceptRegex;  // POSIX extended expressions on the whole address
  std::string rejectRegex;
  std::vector<std::string> includeDirectories;  // path patterns
  std::vector<std::string> excludeDirectories;
  bool robots = false;  // each server's robots.txt obeyed for what is not a page's requisite
  // Other servers, with complete pages: what a page needs is fetched from any server (but the
  // excluded domains), and pages are followed on the domains named.
  bool spanHosts = false;
  std::vector<std::string> domains;  // a host is in one when it is it or ends with ".it"
  bool pagesAnywhere = false;        // pages followed on every server reached (wget's -r -H)
  std::vector<std::string> excludeDomains;
  bool httpsOnly = false;  // links over plain http left out

  bool Empty() const {
    return level == 0 && accept.empty() && reject.empty() && acceptRegex.empty() &&
           rejectRegex.empty() && includeDirectories.empty() && excludeDirectories.empty() &&
           !robots && !spanHosts && !httpsOnly;
  }
};

// The file name of an address that names a directory.
inline constexpr const char* kIndexName = "~index.htm";

// How the copy's files are named with complete pages, from their addresses.
struct NamingPlan {
  std::string defaultPage = kIndexName;  // the file of an address ending in "/"
  bool hostDirectories = true;           // each server's files under a directory of its name
  bool directories = true;               // the address's directories made; off: all in one
  int cutDirs = 0;                       // leading directories of the path left out
  // Names a file system takes: escapes for control bytes (unix, unless nocontrol), for what
  // FAT and NTFS refuse (windows), for bytes above ASCII (ascii); letter case made one.
  bool escapeControl = true;
  bool windows = false;
  bool ascii = false;
  bool lowercase = false;
  bool uppercase = false;
  bool contentDisposition = false;  // a file named as its answer's Content-Disposition says
};

// What a crawl starts from, copied when it is asked for: an address or directory edited while
// the crawl runs does not reach it.
struct CrawlStart {
  std::string url;
  std::string localRoot;        // the start address's mirror directory
  std::string saveToDirectory;  // every file the crawl reads or writes lies beneath it
};

// An archive of the crawl's exchanges, as WARC files, beside the copy or instead of it.
struct ArchivePlan {
  std::string warcFile;     // NAME: NAME.warc.gz written; empty: no archive
  long long maxSize = 0;    // a file this large is closed and NAME-00001.warc.gz begun; 0: one
  bool cdx = false;         // a CDXJ index written beside the archive
  bool dedup = false;       // an answer whose payload is already recorded becomes a revisit
  std::string dedupIndex;   // a CDXJ index of earlier archives whose payloads count too
  bool noCopy = false;      // the archive alone: nothing stored on disk as a copy
  std::string commandLine;  // the crawl's options as given, for the archive's first record
  std::string wacz;         // a WACZ package of the archive written there once the crawl ends
  bool Wanted() const { return !warcFile.empty() || !wacz.empty(); }
};

// A crawl as wget's -r and -m ask for it: the web rules, with wget's scope and defaults.
struct RecursionPlan {
  bool on = false;          // pages followed anywhere on the start's server
  bool noParent = false;    // only below the start's directory
  bool requisites = false;  // -p as well: what pages need comes from anywhere, past the depth
  bool mirror = false;      // updates, and no depth limit unless one is given
  // Which of the defaults the options gave themselves, whatever their order.
  bool levelGiven = false;
  bool robotsGiven = false;
  bool triesGiven = false;
};

// Asking again for a file after a failure that may pass: a connection reset or cut short, an
// answer that never came, a 5xx status; a refused connection only when told.
struct RetryPlan {
  int tries = 0;             // every attempt counted; 0: none asked again
  long waitRetryMs = 10000;  // the wait before the n-th attempt: n-1 seconds, at most this
  bool connectionRefused = false;
};

// Everything a crawl does, said once: both front ends build a plan and hand it to RunCrawl.
struct CrawlPlan {
  CrawlStart start;
  // Files in transfer at once. 1 fetches one file at a time, each over a connection of its own.
  // 0, not given: 1, or with complete pages as many as a polite peer takes of each server.
  int jobs = 0;
  // Complete pages: pages read as browsers read them, and everything they need fetched from the
  // start server; otherwise pages are read by the link scanner for its fixed families of links.
  bool completePages = false;
  NetworkSettings network;
  // What becomes of the copy.
  bool convertLinks = false;     // once the crawl is over, links rewritten to read from disk
  bool adjustExtension = false;  // pages and stylesheets named so that a browser opens them
  bool update = false;           // each earlier copy asked for again if it changed
  bool backupConverted = false;  // a converted file's original kept beside it as NAME.orig
  // With complete pages, each page read also loaded in a headless browser: what its scripts ask
  // for is fetched and kept, and links they add are followed.
  bool render = false;
  int renderSeconds = 30;  // the most a page's scripts are given
  NamingPlan naming;       // with complete pages
  // Which links are taken beyond the reading rules: depth, names, directories. Empty: all.
  ScopePlan scope;
  // More addresses to start from, in one crawl with the first (with complete pages).
  std::vector<std::string> moreStarts;
  // Once this many bytes are stored, no new file is fetched and the crawl ends as stopped; 0: none.
  long long quota = 0;
  long long maxFileSize = 0;  // a larger answer is not saved; 0: the file area's limit alone
  ArchivePlan archive;
  RecursionPlan recursion;
  RetryPlan retries;
  // Every link checked, nothing stored: the broken ones are what the crawl reports.
  bool spider = false;
  bool noClobber = false;  // files already in the copy are not asked for again (as by default)
  bool resume = false;     // a file cut short by an interruption is asked for from where it was
};
