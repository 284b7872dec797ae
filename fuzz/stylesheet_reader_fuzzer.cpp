// Arbitrary bytes as a stylesheet: the reader must end, give no empty reference, and place each
// on bytes of the sheet that spell it.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crawl/read/stylesheet_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view css(reinterpret_cast<const char*>(data), size);
  for (const StylesheetLink& link : ReadStylesheetLinks(css)) {
    if (link.link.empty() || link.begin > link.end || link.end > css.size())
      std::abort();
    // Without escapes, the bytes are the address itself.
    std::string_view raw = css.substr(link.begin, link.end - link.begin);
    if (raw.find('\\') == std::string_view::npos && raw != link.link)
      std::abort();
  }
  return 0;
}
