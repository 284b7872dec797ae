#pragma once

#include <string>
#include <unordered_set>

#include "crawl/base/fetched_file.h"
#include "crawl/base/link_sink.h"

// Reads a page line by line for the fixed families of link markers and pushes every link found.
// Plain case-sensitive text search; not an HTML parser.
class LinkScanner {
 public:
  static constexpr size_t kLineLimit = 255;

  // The page's links that crawlers are asked not to follow, as the page reader finds them.
  struct Nofollow {
    bool all = false;                       // <meta name="robots" content="nofollow">
    std::unordered_set<std::string> links;  // anchors and areas with rel="nofollow", decoded
  };
  // nofollow: when given, the anchors, areas and frames it names are left out, not pushed.
  static void ScanPage(FetchedFile& page, LinkSink& linkStack, const Nofollow* nofollow = nullptr);
  static std::string ReadLine(FetchedFile& page);
  static bool AtEnd(const FetchedFile& page) { return page.cursor + 1 >= page.length; }
  static std::string BaseForLink(const FetchedFile& page, const std::string& link);
};
