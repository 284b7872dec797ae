// Arbitrary bytes as a page through the HTML page reader: it must end and give no empty
// reference.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crawl/page_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  PageLinks links = ReadPage(page);
  for (const PageReference& reference : links.references) {
    if (reference.link.empty())
      std::abort();
  }
  return 0;
}
