// Arbitrary bytes as a page through the HTML page reader: it must end, give no empty reference,
// and place each reference on bytes of the page that spell it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crawl/read/character_references.h"
#include "crawl/read/page_reader.h"
#include "platform/ascii.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  PageLinks links = ReadPage(page);
  for (const PageReference& reference : links.references) {
    if (reference.link.empty())
      std::abort();
    if (reference.inDecodedValue) {
      if (reference.valueBegin > reference.valueEnd || reference.valueEnd > page.size())
        std::abort();
      const std::string value = DecodeCharacterReferences(
          page.substr(reference.valueBegin, reference.valueEnd - reference.valueBegin));
      if (reference.begin > reference.end || reference.end > value.size())
        std::abort();
      continue;
    }
    if (reference.begin > reference.end || reference.end > page.size())
      std::abort();
    // Without character references or CSS escapes, the bytes are the address itself (an
    // attribute's value trimmed of white space).
    std::string_view raw = page.substr(reference.begin, reference.end - reference.begin);
    if (raw.find_first_of("&\\") == std::string_view::npos && raw != reference.link &&
        TrimSpace(raw) != reference.link)
      std::abort();
  }
  return 0;
}
