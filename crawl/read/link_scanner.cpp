#include "crawl/read/link_scanner.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "crawl/base/crawl_dialog.h"
#include "crawl/read/character_references.h"
#include "crawl/read/page_reader.h"
#include "platform/ascii.h"

namespace {

struct Family {
  std::string_view tag;          // searched first; empty for the preload call, which has no tag
  std::string_view tagFallback;  // searched only when the first is absent from the rest
  std::string_view attribute;
  std::string_view attributeFallback;
  size_t skip;          // characters dropped from the attribute marker's start
  bool apostropheOnly;  // the preload call closes on "'" alone
  bool allLinks;        // every link of the line, or the first tag only
  bool page;            // a page to follow, not something a page shows
};

constexpr Family kFamilies[] = {
    {"<IMG ", "<img ", "SRC=", "src=", 5, false, true, false},
    {"<A ", "<a ", "HREF=", "href=", 6, false, true, true},
    {"<AREA ", "<area ", "HREF=", "href=", 6, false, true, true},
    {{}, {}, "MSFPpreload('", {}, 13, true, true, false},
    {"<BODY ", "<body ", "BACKGROUND=", "background=", 12, false, false, false},
    {"<FRAME ", "<frame ", "SRC=", "src=", 5, false, false, true},
};

// Position and length of the first marker in text, else of the fallback.
bool FindMarker(std::string_view text, std::string_view first, std::string_view fallback,
                size_t& position, size_t& length) {
  position = text.find(first);
  length = first.size();
  if (position == std::string_view::npos && !fallback.empty()) {
    position = text.find(fallback);
    length = fallback.size();
  }
  return position != std::string_view::npos;
}

// The next line as ReadLine gives it, as a view into the page instead of a copy.
std::string_view NextLine(FetchedFile& page) {
  page.cursor += 1;
  const int32_t start = page.cursor;
  const char* data = page.data.get();
  const int32_t limit = static_cast<int32_t>(
      std::min<int64_t>(page.length, int64_t{start} + int64_t{LinkScanner::kLineLimit}));
  size_t size = start < limit ? static_cast<size_t>(limit - start) : 0;
  if (const void* lf = std::memchr(data + start, '\n', size))
    size = static_cast<size_t>(static_cast<const char*>(lf) - (data + start));
  if (const void* cr = std::memchr(data + start, '\r', size))
    size = static_cast<size_t>(static_cast<const char*>(cr) - (data + start));
  const int32_t i = start + static_cast<int32_t>(size);
  std::string_view text(data + start, size);
  if (i >= page.length) {
    page.cursor = page.length - 1;
  } else if (data[i] == '\r') {
    page.cursor = (i + 1 < page.length && data[i + 1] == '\n') ? i + 1 : i;
  } else if (data[i] == '\n') {
    page.cursor = i;
  } else {
    page.cursor = i - 1;
  }
  if (const void* nul = std::memchr(text.data(), '\0', text.size()))
    text = text.substr(0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
  return text;
}

void ScanFamily(const Family& family, std::string_view line, const FetchedFile& page,
                LinkSink& linkStack, const LinkScanner::Nofollow* nofollow) {
  std::string_view rest = line;
  for (;;) {
    size_t p = 0;
    size_t length = 0;
    if (!family.tag.empty()) {
      if (!FindMarker(rest, family.tag, family.tagFallback, p, length))
        return;
      rest = rest.substr(p + length);
    }
    if (!FindMarker(rest, family.attribute, family.attributeFallback, p, length))
      return;
    if (!family.tag.empty() && p + length >= rest.size())
      return;
    rest = rest.substr(p + family.skip);
    size_t q = rest.find('"');
    if (family.apostropheOnly || q == std::string_view::npos)
      q = rest.find('\'');
    if (q == std::string_view::npos)
      return;
    std::string link(rest.substr(0, q));
    if (nofollow != nullptr && family.page &&
        (nofollow->all || nofollow->links.contains(DecodeCharacterReferences(link))))
      linkStack.LeaveOutNofollow(LinkScanner::BaseForLink(page, link), link);
    else
      linkStack.Push(LinkScanner::BaseForLink(page, link), link, 0);
    if (!family.allLinks)
      return;
    rest = rest.substr(q + 1);
  }
}

}  // namespace

void LinkScanner::ScanPage(FetchedFile& page, LinkSink& linkStack, const Nofollow* nofollow) {
  if (g_mainDialog != nullptr)
    g_mainDialog->ShowCurrentItem("Analysing", page.url);
  while (!AtEnd(page)) {
    const std::string_view line = NextLine(page);
    // Every family but the preload call starts at a tag: a line without "<" has none of them.
    const bool tags = line.find('<') != std::string_view::npos;
    for (const Family& family : kFamilies) {
      if (tags || family.tag.empty())
        ScanFamily(family, line, page, linkStack, nofollow);
    }
  }
}

std::string LinkScanner::ReadLine(FetchedFile& page) {
  return std::string(NextLine(page));
}

std::string LinkScanner::BaseForLink(const FetchedFile& page, const std::string& link) {
  std::string base(BeforeLast(page.url, '/'));
  if (!link.starts_with('/'))
    base += '/';
  return base;
}
