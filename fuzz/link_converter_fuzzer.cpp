// Rewriting a page's references writes only safe text: whatever the page, and whatever the
// addresses written back (here the most hostile text a server or a name could give), the
// rewritten page has the same tags and attributes, read as a browser reads them.
#include <cstdint>
#include <string>

#include "crawl/copy/link_converter.h"
#include "crawl/read/page_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view page(reinterpret_cast<const char*>(data), size);
  const std::string rewritten = RewriteReferences(
      page, FileKind::Page, "http://h/d/p.html",
      [](const FoundReference& reference) -> std::optional<std::string> {
        return reference.link +
               "\"'<>`</style></script></noscript></title>--><svg onload=x>\\()&amp; \t\n=a";
      },
      true);
  if (PageTags(page) != PageTags(rewritten))
    __builtin_trap();
  return 0;
}
