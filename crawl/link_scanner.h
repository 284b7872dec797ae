#pragma once

#include <string>

#include "crawl/http_fetcher.h"
#include "crawl/link_stack.h"

// Reads a page line by line for the fixed families of link markers and pushes every link found.
// Plain case-sensitive text search; not an HTML parser.
class LinkScanner {
 public:
  static constexpr size_t kLineLimit = 255;

  static void ScanPage(FetchedFile& page, LinkStack& linkStack);
  static std::string ReadLine(FetchedFile& page);
  static bool AtEnd(const FetchedFile& page) { return page.cursor + 1 >= page.length; }
  static std::string BaseForLink(const FetchedFile& page, const std::string& link);
};
