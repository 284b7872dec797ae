// Arbitrary bytes as a stylesheet: the reader must end and give no empty reference.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crawl/stylesheet_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view css(reinterpret_cast<const char*>(data), size);
  for (const std::string& link : ReadStylesheet(css)) {
    if (link.empty())
      std::abort();
  }
  return 0;
}
