#include "crawl/link_scanner.h"

#include <cstring>
#include <string_view>

#include "crawl/crawl_dialog.h"
#include "crawl/text_ops.h"

namespace {

struct Family {
  const char* tag;          // searched first; nullptr for the preload call, which has no tag
  const char* tagFallback;  // searched only when the first is absent from the rest
  const char* attribute;
  const char* attributeFallback;
  size_t skip;          // characters dropped from the attribute marker's start
  bool apostropheOnly;  // the preload call closes on "'" alone
  bool allLinks;        // every link of the line, or the first tag only
};

constexpr Family kFamilies[] = {
    {"<IMG ", "<img ", "SRC=", "src=", 5, false, true},
    {"<A ", "<a ", "HREF=", "href=", 6, false, true},
    {"<AREA ", "<area ", "HREF=", "href=", 6, false, true},
    {nullptr, nullptr, "MSFPpreload('", nullptr, 13, true, true},
    {"<BODY ", "<body ", "BACKGROUND=", "background=", 12, false, false},
    {"<FRAME ", "<frame ", "SRC=", "src=", 5, false, false},
};

// Position and length of the first marker in text, else of the fallback.
bool FindMarker(std::string_view text, const char* first, const char* fallback, size_t& position,
                size_t& length) {
  position = text.find(first);
  length = std::strlen(first);
  if (position == std::string_view::npos && fallback != nullptr) {
    position = text.find(fallback);
    length = std::strlen(fallback);
  }
  return position != std::string_view::npos;
}

void ScanFamily(const Family& family, std::string_view line, const FetchedFile& page,
                LinkStack& linkStack) {
  std::string_view rest = line;
  for (;;) {
    size_t p = 0;
    size_t length = 0;
    if (family.tag != nullptr) {
      if (!FindMarker(rest, family.tag, family.tagFallback, p, length))
        return;
      rest = rest.substr(p + length);
    }
    if (!FindMarker(rest, family.attribute, family.attributeFallback, p, length))
      return;
    if (family.tag != nullptr && p + length >= rest.size())
      return;
    rest = rest.substr(p + family.skip);
    size_t q = rest.find('"');
    if (family.apostropheOnly || q == std::string_view::npos)
      q = rest.find('\'');
    if (q == std::string_view::npos)
      return;
    std::string link(rest.substr(0, q));
    linkStack.Push(LinkScanner::BaseForLink(page, link), link, 0);
    if (!family.allLinks)
      return;
    rest = rest.substr(q + 1);
  }
}

}  // namespace

void LinkScanner::ScanPage(FetchedFile& page, LinkStack& linkStack) {
  if (g_mainDialog != nullptr)
    g_mainDialog->ShowCurrentItem("Analysing", page.url);
  while (!AtEnd(page)) {
    const std::string line = ReadLine(page);
    for (const Family& family : kFamilies)
      ScanFamily(family, line, page, linkStack);
  }
}

std::string LinkScanner::ReadLine(FetchedFile& page) {
  page.cursor += 1;
  int32_t i = page.cursor;
  const char* data = page.data.get();
  int32_t start = i;
  while (i < page.length && static_cast<size_t>(i - start) < kLineLimit && data[i] != '\n' &&
         data[i] != '\r') {
    ++i;
  }
  std::string text(data + start, static_cast<size_t>(i - start));
  if (i >= page.length) {
    page.cursor = page.length - 1;
  } else if (data[i] == '\r') {
    page.cursor = (i + 1 < page.length && data[i + 1] == '\n') ? i + 1 : i;
  } else if (data[i] == '\n') {
    page.cursor = i;
  } else {
    page.cursor = i - 1;
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos)
    text.resize(nul);
  return text;
}

std::string LinkScanner::BaseForLink(const FetchedFile& page, const std::string& link) {
  std::string base(BeforeLast(page.url, '/'));
  if (!link.starts_with('/'))
    base += '/';
  return base;
}
