// The fetcher's cuts: the address into server and object name, the size header into a number,
// and the request path's escaping.
#include <string>

#include "crawl/run/http_fetcher.h"
#include "platform/transfer.h"
#include "support/int_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string server, object;
  CutAddress(input, server, object);
  if (server.size() + object.size() > input.size())
    __builtin_trap();
  (void)TextToInt(input);
  std::string encoded = EncodeRequestPath(object);
  for (unsigned char c : encoded) {
    if (c <= 0x20 || c >= 0x7F)
      __builtin_trap();
  }
  return 0;
}
