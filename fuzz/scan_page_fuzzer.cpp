// Arbitrary page bytes through the line reader and the scanner, with a link stack behind them.
#include <cstring>

#include "crawl/read/link_scanner.h"
#include "crawl/run/link_stack.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SilentDialog dialog;
  static FetchedFile page;
  size = std::min<size_t>(size, FetchedFile::kCapacity);
  std::memcpy(page.data.get(), data, size);
  page.length = static_cast<int32_t>(size);
  page.cursor = -1;
  page.url = "http://host/dir/page.htm";
  LinkStack stack("http://host/dir/");
  LinkScanner::ScanPage(page, stack);
  while (!stack.IsEmpty())
    stack.Pop();
  return 0;
}
